/* The floor for rpcset's start-up benchmark: a minimal C client that writes the
 * request bytes rpcset writes for `rpcset 127.0.0.1 PORT boot MAC PROC` on a
 * blocking socket and reads the reply until its whole body is in.
 *   c_client PORT MAC PROC
 * Operands are sent as given (no entity coding). Exit status 0 when a whole
 * reply arrived, 1 otherwise. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

static int write_all(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n <= 0) return 0;
    text += n;
    length -= (size_t)n;
  }
  return 1;
}

int main(int argc, char* argv[]) {
  if (argc < 4) return 2;
  char body[4096];
  int body_length = snprintf(body, sizeof(body),
                             "<?xml version=\"1.0\"?>\r\n"
                             "<methodCall><methodName>SetBOOT</methodName>\r\n"
                             "<params><param><value>%s</value></param>"
                             "<param><value>%s</value></param></params></methodCall>\r\n",
                             argv[3], argv[2]);
  if (body_length < 0 || body_length >= (int)sizeof(body)) return 1;
  /* One write, as rpcset makes: a second small one could wait for an ACK. */
  char request[4608];
  int length = snprintf(request, sizeof(request),
                        "POST /RPC2 HTTP/1.1\r\n"
                        "User-Agent: CORVANE 0.7\r\n"
                        "Host: 127.0.0.1:%s\r\n"
                        "Content-Type: text/xml\r\n"
                        "Content-length: %d\r\n\r\n%s",
                        argv[1], body_length, body);
  if (length < 0 || length >= (int)sizeof(request)) return 1;

  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)atoi(argv[1]));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0) return 1;
  if (!write_all(fd, request, (size_t)length)) return 1;

  char reply[65536];
  size_t have = 0;
  for (;;) {
    ssize_t n = read(fd, reply + have, sizeof(reply) - 1 - have);
    if (n <= 0) return 1;
    have += (size_t)n;
    reply[have] = '\0';
    const char* end = strstr(reply, "\r\n\r\n");
    if (end == NULL) continue;
    const char* field = NULL;
    for (const char* p = reply; p < end && field == NULL; ++p)
      if (strncasecmp(p, "\r\nContent-length:", 17) == 0) field = p + 17;
    if (field == NULL) return 1;
    if (have >= (size_t)(end + 4 - reply) + strtoul(field, NULL, 10)) break;
  }
  close(fd);
  return 0;
}
