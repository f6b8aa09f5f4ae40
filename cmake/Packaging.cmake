# Debian packages of the release build, made by CPack (cmake --workflow --preset package):
#   rpcset          the tool, its manual page and a bash completion
#   libcorvane-dev  the headers, the static library, the CMake package and corvane.pc
# Files that only the packages carry are EXCLUDE_FROM_ALL: a plain `cmake --install`
# leaves them out, and CPack, which installs one component at a time, puts them in.

option(CORVANE_PACKAGE_TEST "Register the test of the built Debian packages" OFF)

set(CORVANE_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)

# Debian keeps manual pages and changelogs compressed with gzip -9n (no name, no
# time stamp), so that the same sources give the same package.
function(corvane_gzip target source name)
  set(copy ${CORVANE_DEBIAN_DIR}/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${copy}.gz)
endfunction()

corvane_gzip(corvane_deb_manual ${PROJECT_SOURCE_DIR}/tool/rpcset.1 rpcset.1)
corvane_gzip(corvane_deb_changelog ${PROJECT_SOURCE_DIR}/packaging/changelog changelog)

install(FILES ${CORVANE_DEBIAN_DIR}/rpcset.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT rpcset EXCLUDE_FROM_ALL)
foreach(component_package rpcset:rpcset dev:libcorvane-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${docdir} RENAME copyright
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${CORVANE_DEBIAN_DIR}/changelog.gz DESTINATION ${docdir}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Empty, so that each package's summary is the first line of its own description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "the Corvane authors")
set(CPACK_PACKAGE_CONTACT "The Corvane authors <maintainers@corvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SOURCE corvane)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL rpcset dev)
set(CPACK_STRIP_FILES ON)
# Depends is computed by dpkg-shlibdeps from what the binaries link. OpenSSL is opened
# with dlopen(), which it cannot see: the runtime package is named here (libssl3t64 is
# its name from Debian 13 on).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CORVANE_TLS)
  set(CORVANE_DEB_OPENSSL "libssl3 | libssl3t64")
  set(CPACK_DEBIAN_RPCSET_PACKAGE_DEPENDS ${CORVANE_DEB_OPENSSL})
  # Programs built with the library load it for https at run time.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${CORVANE_DEB_OPENSSL})
endif()

set(CPACK_DEBIAN_RPCSET_PACKAGE_NAME rpcset)
set(CPACK_DEBIAN_RPCSET_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RPCSET_DESCRIPTION
  "send one provisioning call to an XML-RPC server
rpcset posts one XML-RPC call, SetBOOT or SetDHCP, to a provisioning
server over HTTP/1.1 and exits. Provisioning scripts run it once per
machine to set its boot image or its DHCP entry.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcorvane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "small XML-RPC client library for C++17 (development files)
Corvane is a self-contained XML-RPC client stack: a value type with its
XML-RPC text form and base64, non-blocking sockets, a poll() event
dispatcher and an HTTP/1.1 keep-alive client over TCP, Unix sockets or
HTTPS (OpenSSL 3, loaded when the first https connection is made).
.
This package holds the headers, the static library, a CMake package
(find_package(corvane)) and a pkg-config file.")

include(CPack)

if(CORVANE_PACKAGE_TEST)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  enable_testing()
  add_test(NAME Install.test_Packages
           COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/tool_test.py Install.test_Packages
                   --cmake=${CMAKE_COMMAND} --build-dir=${PROJECT_BINARY_DIR} --cxx=${CMAKE_CXX_COMPILER})
  set_tests_properties(Install.test_Packages PROPERTIES TIMEOUT 300)
endif()
