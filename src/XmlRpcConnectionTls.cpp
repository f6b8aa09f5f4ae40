// TLS for a connection, through OpenSSL 3 loaded with dlopen() when the first
// TLS connection is made: a process that only speaks plain HTTP neither links
// nor loads it. OpenSSL's headers give the types and constants only.
#include <cerrno>

#include "XmlRpcConnection.h"
#include "XmlRpcDispatch.h"

#if CORVANE_TLS
#include <arpa/inet.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>

#include "XmlRpcUtil.h"
#endif

namespace XmlRpc {

#if !CORVANE_TLS

struct XmlRpcConnection::Tls {};

XmlRpcConnection::XmlRpcConnection() : _fd(-1), _error(0), _truncated(false) {}
XmlRpcConnection::~XmlRpcConnection() {
  close();
}
bool XmlRpcConnection::tlsBuilt() {
  return false;
}
std::string XmlRpcConnection::checkTlsOptions(const TlsOptions&) {
  return "this build of Corvane has no TLS (CORVANE_TLS=OFF)";
}
void XmlRpcConnection::useTls(const std::string&, const TlsOptions&) {}
bool XmlRpcConnection::tlsWrite(const std::string&, int*) {
  return false;
}
bool XmlRpcConnection::tlsRead(std::string&, bool*, std::size_t) {
  return false;
}
bool XmlRpcConnection::tlsIdle() {
  return false;
}
void XmlRpcConnection::tlsClose() {}
bool XmlRpcConnection::tlsWaitOrFail(int) {
  return false;
}
unsigned XmlRpcConnection::events(unsigned natural) const {
  return natural;
}

#else

namespace {

// The OpenSSL functions used, resolved by name from the two libraries.
// clang-format off
#define CORVANE_CRYPTO_FUNCTIONS(X)                                                         \
  X(OpenSSL_version_num) X(ERR_clear_error) X(ERR_peek_error) X(ERR_reason_error_string)    \
  X(X509_verify_cert_error_string) X(X509_VERIFY_PARAM_set1_ip_asc) X(BIO_get_new_index)    \
  X(BIO_meth_new) X(BIO_meth_set_write) X(BIO_meth_set_read) X(BIO_meth_set_ctrl)           \
  X(BIO_new) X(BIO_set_data) X(BIO_get_data) X(BIO_set_init) X(BIO_set_flags)               \
  X(BIO_clear_flags)
#define CORVANE_SSL_FUNCTIONS(X)                                                            \
  X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_verify) \
  X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_load_verify_locations)                      \
  X(SSL_CTX_use_certificate_chain_file) X(SSL_CTX_use_PrivateKey_file) X(SSL_new)           \
  X(SSL_free) X(SSL_set_bio) X(SSL_set_connect_state) X(SSL_set1_host) X(SSL_get0_param)    \
  X(SSL_ctrl) X(SSL_do_handshake) X(SSL_read) X(SSL_write) X(SSL_get_error)                 \
  X(SSL_get_verify_result) X(SSL_shutdown) X(SSL_get_version)
// clang-format on

struct OpenSsl {
#define CORVANE_DECLARE(name) decltype(&::name) name = nullptr;
  CORVANE_CRYPTO_FUNCTIONS(CORVANE_DECLARE)
  CORVANE_SSL_FUNCTIONS(CORVANE_DECLARE)
#undef CORVANE_DECLARE
  BIO_METHOD* socketBio = nullptr;
};

// The loaded library, once load() has succeeded.
const OpenSsl* loaded = nullptr;

// A socket BIO of our own: OpenSSL's writes without MSG_NOSIGNAL, and a server
// gone away would kill the process with SIGPIPE.
struct BioState {
  int fd = -1;
  bool eof = false;
  int error = 0;
};

int bioWrite(BIO* bio, const char* data, int length) {
  auto* state = static_cast<BioState*>(loaded->BIO_get_data(bio));
  loaded->BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  const ssize_t n = ::send(state->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    loaded->BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
  else
    state->error = errno;
  return -1;
}

int bioRead(BIO* bio, char* data, int length) {
  auto* state = static_cast<BioState*>(loaded->BIO_get_data(bio));
  loaded->BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  const ssize_t n = ::recv(state->fd, data, static_cast<size_t>(length), 0);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    state->eof = true;
  } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    loaded->BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
  } else {
    state->error = errno;
  }
  return n == 0 ? 0 : -1;
}

// The end of file must be told, or OpenSSL cannot tell a cut from a close_notify.
long bioCtrl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;
  if (command == BIO_CTRL_EOF) return static_cast<BioState*>(loaded->BIO_get_data(bio))->eof;
  return 0;
}

std::string loadOpenSsl(OpenSsl& o) {
  // The runtime package's names: "libssl.so" comes only with the development files.
  void* crypto = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  void* ssl = crypto ? ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (ssl == nullptr) return std::string("OpenSSL 3 could not be loaded (") + ::dlerror() + ")";
  void* symbol = nullptr;
#define CORVANE_RESOLVE(library, name)                                              \
  if ((symbol = ::dlsym(library, #name)) == nullptr) return "OpenSSL lacks " #name; \
  o.name = reinterpret_cast<decltype(o.name)>(symbol);
#define CORVANE_FROM_CRYPTO(name) CORVANE_RESOLVE(crypto, name)
#define CORVANE_FROM_SSL(name) CORVANE_RESOLVE(ssl, name)
  CORVANE_CRYPTO_FUNCTIONS(CORVANE_FROM_CRYPTO)
  CORVANE_SSL_FUNCTIONS(CORVANE_FROM_SSL)
#undef CORVANE_FROM_SSL
#undef CORVANE_FROM_CRYPTO
#undef CORVANE_RESOLVE
  if (o.OpenSSL_version_num() < 0x30000000UL) return "the OpenSSL loaded is older than 3.0";
  o.socketBio = o.BIO_meth_new(o.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "corvane socket");
  if (o.socketBio == nullptr) return "OpenSSL could not make a BIO method";
  o.BIO_meth_set_write(o.socketBio, bioWrite);
  o.BIO_meth_set_read(o.socketBio, bioRead);
  o.BIO_meth_set_ctrl(o.socketBio, bioCtrl);
  return "";
}

// OpenSSL, loaded on the first call; null with the reason in `failure` when it cannot be.
const OpenSsl* openSsl(std::string& failure) {
  static OpenSsl table;
  static const std::string reason = loadOpenSsl(table);
  failure = reason;
  if (reason.empty()) loaded = &table;
  return loaded;
}

// OpenSSL's words for the first error queued, with the verification's own
// cause when that is what failed.
std::string queuedError(const OpenSsl& o, const SSL* ssl) {
  const unsigned long error = o.ERR_peek_error();
  const char* reason = error != 0 ? o.ERR_reason_error_string(error) : nullptr;
  std::string text = reason ? reason : "TLS failure";
  if (ssl && ERR_GET_REASON(error) == SSL_R_CERTIFICATE_VERIFY_FAILED)
    text += std::string(": ") + o.X509_verify_cert_error_string(o.SSL_get_verify_result(ssl));
  return text;
}

bool isIpAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// A context for `options`: TLS 1.2 at least, the trusted certificates and the
// client's own; null with what is wrong in `failure`, naming the file.
SSL_CTX* newContext(const OpenSsl& o, const XmlRpcConnection::TlsOptions& options,
                    std::string& failure) {
  if (options.certFile.empty() && !options.keyFile.empty()) {
    failure = "the key file " + options.keyFile + " comes without a certificate file";
    return nullptr;
  }
  o.ERR_clear_error();
  SSL_CTX* ctx = o.SSL_CTX_new(o.TLS_client_method());
  if (ctx == nullptr) {
    failure = "could not make a TLS context (" + queuedError(o, nullptr) + ")";
    return nullptr;
  }
  o.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // The request buffer stays put while it is written, but a record may take part of it.
  o.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE, nullptr);
  o.SSL_CTX_set_verify(ctx, options.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  const std::string& keyFile = options.keyFile.empty() ? options.certFile : options.keyFile;
  // Only the CA file, when there is one: the system's certificates are not trusted beside it.
  if (!options.caFile.empty()) {
    if (o.SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) != 1)
      failure = "cannot load the CA file " + options.caFile;
  } else if (options.verifyPeer && o.SSL_CTX_set_default_verify_paths(ctx) != 1) {
    failure = "cannot load the system's trusted certificates";
  }
  const bool clientCertificate = failure.empty() && !options.certFile.empty();
  if (clientCertificate &&
      o.SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) != 1) {
    failure = "cannot load the client certificate " + options.certFile;
  } else if (clientCertificate &&
             o.SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    // OpenSSL's words tell a key that does not match the certificate.
    failure = "cannot load the private key " + keyFile;
  }
  if (failure.empty()) return ctx;
  failure += " (" + queuedError(o, nullptr) + ")";
  o.SSL_CTX_free(ctx);
  return nullptr;
}

}  // namespace

struct XmlRpcConnection::Tls : BioState {
  std::string serverName;
  TlsOptions options;
  // Made for the first connection, kept for the next ones.
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  bool handshakeDone = false;
  // A fatal error ended the session: no close_notify follows it.
  bool failed = false;
  // SSL_ERROR_WANT_READ or SSL_ERROR_WANT_WRITE from the last operation, else 0.
  int want = 0;

  ~Tls() {
    if (ssl) loaded->SSL_free(ssl);
    if (ctx) loaded->SSL_CTX_free(ctx);
  }
};

XmlRpcConnection::XmlRpcConnection() : _fd(-1), _error(0), _truncated(false) {}

XmlRpcConnection::~XmlRpcConnection() {
  close();
}

bool XmlRpcConnection::tlsBuilt() {
  return true;
}

std::string XmlRpcConnection::checkTlsOptions(const TlsOptions& options) {
  std::string failure;
  const OpenSsl* o = openSsl(failure);
  if (o == nullptr) return failure;
  if (SSL_CTX* ctx = newContext(*o, options, failure)) o->SSL_CTX_free(ctx);
  return failure;
}

void XmlRpcConnection::useTls(const std::string& serverName, const TlsOptions& options) {
  if (!_tls) _tls.reset(new Tls);
  _tls->serverName = serverName;
  _tls->options = options;
  if (_tls->ctx) loaded->SSL_CTX_free(_tls->ctx);
  _tls->ctx = nullptr;
}

bool XmlRpcConnection::tlsWaitOrFail(int result) {
  Tls& t = *_tls;
  const int code = loaded->SSL_get_error(t.ssl, result);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    t.want = code;
    return true;
  }
  t.want = 0;
  t.failed = true;
  if (code == SSL_ERROR_SYSCALL && t.error != 0)
    _error = t.error;
  else
    _tlsError = queuedError(*loaded, t.ssl);
  return false;
}

bool XmlRpcConnection::tlsWrite(const std::string& s, int* bytesSoFar) {
  Tls& t = *_tls;
  if (t.ssl == nullptr) {
    const OpenSsl* o = openSsl(_tlsError);
    if (o == nullptr) return false;
    if (t.ctx == nullptr && (t.ctx = newContext(*o, t.options, _tlsError)) == nullptr) return false;
    o->ERR_clear_error();
    t.ssl = o->SSL_new(t.ctx);
    BIO* bio = t.ssl ? o->BIO_new(o->socketBio) : nullptr;
    if (bio == nullptr) {
      _tlsError = queuedError(*o, nullptr);
      return false;
    }
    o->BIO_set_data(bio, static_cast<BioState*>(&t));
    o->BIO_set_init(bio, 1);
    o->SSL_set_bio(t.ssl, bio, bio);
    o->SSL_set_connect_state(t.ssl);
    const char* name = t.serverName.c_str();
    // A certificate names an address in its IP entries, and SNI carries names only.
    const bool ip = isIpAddress(t.serverName);
    if (t.options.verifyPeer && ip)
      o->X509_VERIFY_PARAM_set1_ip_asc(o->SSL_get0_param(t.ssl), name);
    else if (t.options.verifyPeer)
      o->SSL_set1_host(t.ssl, name);
    if (!ip)
      o->SSL_ctrl(t.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                  const_cast<char*>(name));
    t.fd = _fd;
  }
  loaded->ERR_clear_error();
  if (!t.handshakeDone) {
    const int result = loaded->SSL_do_handshake(t.ssl);
    if (result != 1) return tlsWaitOrFail(result);
    t.handshakeDone = true;
    XmlRpcUtil::log(3, "XmlRpcConnection::write: %s handshake done on fd %d.",
                    loaded->SSL_get_version(t.ssl), _fd);
  }
  while (*bytesSoFar < static_cast<int>(s.length())) {
    const int n = loaded->SSL_write(t.ssl, s.data() + *bytesSoFar,
                                    static_cast<int>(s.length()) - *bytesSoFar);
    if (n <= 0) return tlsWaitOrFail(n);
    *bytesSoFar += n;
  }
  t.want = 0;
  return true;
}

bool XmlRpcConnection::tlsRead(std::string& s, bool* eof, std::size_t maxBytes) {
  Tls& t = *_tls;
  *eof = false;
  if (t.ssl == nullptr) {
    _tlsError = "no TLS session";
    return false;
  }
  loaded->ERR_clear_error();
  // SSL_read gives one record at most: the loop goes on until the socket is
  // empty, or bytes would wait inside OpenSSL while poll() sees none. A record
  // is never taken in beyond `maxBytes`: the rest of it stays in OpenSSL.
  char buffer[16384];
  while (maxBytes > 0) {
    const int n =
        loaded->SSL_read(t.ssl, buffer, static_cast<int>(std::min(sizeof(buffer), maxBytes)));
    if (n > 0) {
      s.append(buffer, static_cast<size_t>(n));
      maxBytes -= static_cast<size_t>(n);
      continue;
    }
    const int code = loaded->SSL_get_error(t.ssl, n);
    if (code == SSL_ERROR_ZERO_RETURN) {
      *eof = true;
      t.want = 0;
      return true;
    }
    // A cut without close_notify ends the connection too, but it may be an
    // attacker's: truncated() tells it.
    const bool cut = (code == SSL_ERROR_SSL && ERR_GET_REASON(loaded->ERR_peek_error()) ==
                                                   SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
                     (code == SSL_ERROR_SYSCALL && t.error == 0);
    if (cut) {
      *eof = _truncated = t.failed = true;
      t.want = 0;
      return true;
    }
    return tlsWaitOrFail(n);
  }
  t.want = 0;
  return true;
}

bool XmlRpcConnection::tlsIdle() {
  Tls& t = *_tls;
  if (t.ssl == nullptr || !t.handshakeDone || t.failed) return false;
  loaded->ERR_clear_error();
  char byte;
  const int n = loaded->SSL_read(t.ssl, &byte, 1);
  return n <= 0 && loaded->SSL_get_error(t.ssl, n) == SSL_ERROR_WANT_READ;
}

void XmlRpcConnection::tlsClose() {
  Tls& t = *_tls;
  if (t.ssl) {
    loaded->ERR_clear_error();
    if (t.handshakeDone && !t.failed) loaded->SSL_shutdown(t.ssl);
    loaded->SSL_free(t.ssl);
    loaded->ERR_clear_error();
  }
  t.ssl = nullptr;
  t.fd = -1;
  t.eof = t.handshakeDone = t.failed = false;
  t.error = t.want = 0;
}

unsigned XmlRpcConnection::events(unsigned natural) const {
  if (!_tls || _tls->want == 0) return natural;
  return _tls->want == SSL_ERROR_WANT_READ ? XmlRpcDispatch::EventReadable
                                           : XmlRpcDispatch::EventWritable;
}

#endif

}  // namespace XmlRpc
