#!/usr/bin/env python3
"""Installs Corvane into a temporary prefix, builds a small consumer against it
once with find_package and once with pkg-config, and has both make a call to
the demo provisioning server on 127.0.0.1."""

import argparse
import glob
import os
import shlex
import subprocess
import sys
import tempfile

STEP_TIMEOUT = 300


def run(cmd, **kwargs):
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, timeout=STEP_TIMEOUT, **kwargs)


def start_server(script):
    server = subprocess.Popen([sys.executable, "-u", script, "0"], stdout=subprocess.PIPE,
                              text=True)
    line = server.stdout.readline()
    if not line.startswith("listening on 127.0.0.1 port "):
        server.kill()
        raise SystemExit(f"demo server did not start: {line!r}")
    return server, line.split()[-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--cxx-flags", default="")
    parser.add_argument("--linker-flags", default="")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="corvane-install-") as tmp:
        prefix = os.path.join(tmp, "prefix")
        run([args.cmake, "--install", args.build_dir, "--prefix", prefix])
        for expected in ["bin/rpcset", "share/man/man1/rpcset.1", "include/corvane/XmlRpc.h",
                         "include/corvane/XmlRpcClient.h", "include/corvane/base64.h"]:
            if not os.path.exists(os.path.join(prefix, expected)):
                raise SystemExit(f"not installed: {expected}")
        [pc_dir] = glob.glob(os.path.join(prefix, "lib*", "**", "pkgconfig"), recursive=True)

        consumer_src = os.path.join(args.source_dir, "tests", "install")
        by_cmake = os.path.join(tmp, "by-cmake")
        run([args.cmake, "-S", consumer_src, "-B", by_cmake, "-G", "Ninja",
             f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_COMPILER={args.cxx}",
             f"-DCMAKE_CXX_FLAGS={args.cxx_flags}",
             f"-DCMAKE_EXE_LINKER_FLAGS={args.linker_flags}"])
        run([args.cmake, "--build", by_cmake])

        env = dict(os.environ, PKG_CONFIG_PATH=pc_dir)
        pc_flags = subprocess.run(["pkg-config", "--cflags", "--libs", "corvane"], env=env,
                                  check=True, capture_output=True, text=True).stdout.split()
        by_pkgconfig = os.path.join(tmp, "consumer-pkgconfig")
        run([args.cxx, "-std=c++17", *shlex.split(args.cxx_flags),
             os.path.join(consumer_src, "consumer.cpp"), "-o", by_pkgconfig, *pc_flags,
             *shlex.split(args.linker_flags)])

        server, port = start_server(os.path.join(args.source_dir, "examples",
                                                 "provision_server.py"))
        try:
            for consumer in [os.path.join(by_cmake, "consumer"), by_pkgconfig]:
                out = subprocess.run([consumer, "127.0.0.1", port], check=True,
                                     capture_output=True, text=True, timeout=30).stdout
                if out.strip() != "result 0":
                    raise SystemExit(f"{consumer} printed {out!r}")
                received = server.stdout.readline()
                if "SetBOOT proc_info='pxe' mac_info='00:11:22:33:44:55'" not in received:
                    raise SystemExit(f"server received {received!r}")
        finally:
            server.kill()
            server.wait(timeout=10)
    print("install test passed")


if __name__ == "__main__":
    main()
