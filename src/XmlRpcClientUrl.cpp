// Where a client calls and who it says it is: its URL, the Basic credentials
// and the TLS settings.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "XmlRpcClient.h"
#include "XmlRpcException.h"
#include "XmlRpcSocket.h"
#include "base64.h"

namespace XmlRpc {

namespace {

constexpr int HTTP_PORT = 80;
constexpr int HTTPS_PORT = 443;
constexpr int HIGHEST_PORT = 65535;
const char DEFAULT_PATH[] = "/RPC2";

// A URL's faults are told by what is wrong, never by quoting the URL, which
// may hold a password.
[[noreturn]] void badUrl(const std::string& what) {
  throw XmlRpcException("XmlRpcClient: bad URL: " + what);
}

std::string percentDecoded(const std::string& text, const char* what) {
  std::string out;
  for (size_t at = 0; at < text.length(); ++at) {
    if (text[at] != '%') {
      out += text[at];
      continue;
    }
    if (at + 2 >= text.length() || !std::isxdigit(static_cast<unsigned char>(text[at + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[at + 2])))
      badUrl(std::string("a bad percent escape in the ") + what);
    out += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
    at += 2;
  }
  return out;
}

bool allDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// The host without the brackets of an IPv6 address.
std::string bareHost(const std::string& host) {
  return host.length() >= 2 && host.front() == '[' ? host.substr(1, host.length() - 2) : host;
}

}  // namespace

XmlRpcClient::Url XmlRpcClient::parseUrl(const std::string& text) {
  Url url;
  const size_t schemeEnd = text.find("://");
  std::string scheme = text.substr(0, schemeEnd);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  if (schemeEnd == std::string::npos || (scheme != "http" && scheme != "https" && scheme != "unix"))
    badUrl("it does not begin with http://, https:// or unix://");
  const std::string rest = text.substr(schemeEnd + 3);

  if (scheme == "unix") {
    if (rest.empty() || rest.front() != '/') badUrl("the Unix socket path is not absolute");
    SocketAddress address;
    if (!XmlRpcSocket::unixAddress(rest, address)) badUrl("the Unix socket path is too long");
    url.socketPath = rest;
    url.host = "localhost";
    url.path = DEFAULT_PATH;
    return url;
  }

  url.https = scheme == "https";
  if (url.https && !XmlRpcConnection::tlsBuilt())
    throw XmlRpcException(
        "XmlRpcClient: https is not available: this build of Corvane has no TLS (CORVANE_TLS=OFF)");
  const size_t authorityEnd = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, authorityEnd);
  // The fragment is the caller's own and never goes to the server.
  const std::string path = authorityEnd == std::string::npos
                               ? ""
                               : rest.substr(authorityEnd, rest.find('#') - authorityEnd);
  url.path = path.empty() ? DEFAULT_PATH : path.front() == '/' ? path : "/" + path;

  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    authority.erase(0, at + 1);
    const size_t colon = userInfo.find(':');
    url.user = percentDecoded(userInfo.substr(0, colon), "user name");
    if (colon != std::string::npos)
      url.password = percentDecoded(userInfo.substr(colon + 1), "password");
    url.credentials = true;
  }

  size_t portStart = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) badUrl("the bracket around the IPv6 address is not closed");
    unsigned char address[sizeof(in6_addr)];
    if (::inet_pton(AF_INET6, authority.substr(1, close - 1).c_str(), address) != 1)
      badUrl("no IPv6 address in the brackets");
    portStart = close + 1;
    if (portStart < authority.length() && authority[portStart] != ':')
      badUrl("text after the bracketed IPv6 address");
  }
  url.host = authority.substr(0, portStart);
  if (url.host.empty()) badUrl("no host");
  url.port = url.https ? HTTPS_PORT : HTTP_PORT;
  if (portStart < authority.length()) {
    const std::string port = authority.substr(portStart + 1);
    if (!allDigits(port) || port.length() > 5 || std::stoi(port) < 1 ||
        std::stoi(port) > HIGHEST_PORT)
      badUrl("the port is not a number from 1 to 65535 (\"" + port + "\")");
    url.port = std::stoi(port);
  }
  return url;
}

XmlRpcClient::XmlRpcClient(const std::string& url) : XmlRpcClient(parseUrl(url)) {}

XmlRpcClient::XmlRpcClient(const Url& url)
    : XmlRpcClient(url.host.c_str(), url.port, url.path.c_str()) {
  _socketPath = url.socketPath;
  _https = url.https;
  if (_https) setTlsOptions(TlsOptions());
  if (url.credentials) setBasicAuth(url.user, url.password);
}

void XmlRpcClient::setTlsOptions(const TlsOptions& options) {
  if (_https) _connection.useTls(bareHost(_host), options);
}

std::string XmlRpcClient::checkTlsOptions(const TlsOptions& options) {
  return XmlRpcConnection::checkTlsOptions(options);
}

void XmlRpcClient::setBasicAuth(const std::string& user, const std::string& password) {
  const std::string credentials = user + ":" + password;
  std::string coded;
  base64<char>::putAppend(credentials.data(), credentials.length(), coded);
  // The coder breaks long texts into lines; a field is one line.
  coded.erase(
      std::remove_if(coded.begin(), coded.end(), [](char c) { return c == '\r' || c == '\n'; }),
      coded.end());
  _authorization = "Basic " + coded;
}

std::string XmlRpcClient::url() const {
  if (!_socketPath.empty()) return "unix://" + _socketPath;
  const bool bareIpv6 = _host.find(':') != std::string::npos && _host.front() != '[';
  char port[16];
  std::snprintf(port, sizeof(port), ":%d", _port);
  return std::string(_https ? "https://" : "http://") + (bareIpv6 ? "[" + _host + "]" : _host) +
         port + _uri;
}

}  // namespace XmlRpc
