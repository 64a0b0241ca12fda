/* A resolver a test can script, preloaded into a child process (LD_PRELOAD): the names in
   QV_FAKE_HOSTS resolve as it says, every other name as the system would. Python's socket
   module, asyncio's default resolver, uvloop's and the module's own all ask getaddrinfo(),
   so one shim scripts them all.

   QV_FAKE_HOSTS="name[@seconds]=addr,addr;...": after `seconds` (none: at once; -1: never)
   `name` resolves to the IPv4 addresses given, in that order. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char kMarker[] = "qv-fake-resolver";

typedef int (*getaddrinfo_fn)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
typedef void (*freeaddrinfo_fn)(struct addrinfo*);

static void wait_seconds(double seconds) {
  if (seconds < 0) {
    for (;;) pause();
  }
  struct timespec ts = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

/* The entry for `node` in the script, copied into `addrs`; 1 when there is one. */
static int scripted(const char* node, double* delay, char* addrs, size_t size) {
  const char* script = getenv("QV_FAKE_HOSTS");
  if (!script || !node) return 0;
  size_t name_len = strlen(node);
  for (const char* at = script; *at;) {
    const char* end = strchr(at, ';');
    size_t len = end ? (size_t)(end - at) : strlen(at);
    const char* eq = memchr(at, '=', len);
    if (eq) {
      const char* name_end = memchr(at, '@', (size_t)(eq - at));
      if (!name_end) name_end = eq;
      if ((size_t)(name_end - at) == name_len && memcmp(at, node, name_len) == 0) {
        *delay = name_end < eq ? atof(name_end + 1) : 0;
        size_t n = len - (size_t)(eq + 1 - at);
        if (n >= size) n = size - 1;
        memcpy(addrs, eq + 1, n);
        addrs[n] = 0;
        return 1;
      }
    }
    if (!end) break;
    at = end + 1;
  }
  return 0;
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** res) {
  double delay = 0;
  char addrs[512];
  if (!scripted(node, &delay, addrs, sizeof addrs)) {
    getaddrinfo_fn real = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
    return real(node, service, hints, res);
  }
  wait_seconds(delay);
  int port = service ? atoi(service) : 0;
  struct addrinfo* first = NULL;
  struct addrinfo** tail = &first;
  for (char* save = NULL, *addr = strtok_r(addrs, ",", &save); addr; addr = strtok_r(NULL, ",", &save)) {
    struct addrinfo* ai = calloc(1, sizeof *ai + sizeof(struct sockaddr_in));
    struct sockaddr_in* in = (struct sockaddr_in*)(ai + 1);
    in->sin_family = AF_INET;
    in->sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, addr, &in->sin_addr);
    ai->ai_family = AF_INET;
    ai->ai_socktype = hints && hints->ai_socktype ? hints->ai_socktype : SOCK_STREAM;
    ai->ai_protocol = IPPROTO_TCP;
    ai->ai_addrlen = sizeof *in;
    ai->ai_addr = (struct sockaddr*)in;
    ai->ai_canonname = kMarker;  /* ours: freed below, not by the system */
    *tail = ai;
    tail = &ai->ai_next;
  }
  if (!first) return EAI_NONAME;
  *res = first;
  return 0;
}

void freeaddrinfo(struct addrinfo* ai) {
  if (ai && ai->ai_canonname == kMarker) {
    while (ai) {
      struct addrinfo* next = ai->ai_next;
      free(ai);
      ai = next;
    }
    return;
  }
  freeaddrinfo_fn real = (freeaddrinfo_fn)dlsym(RTLD_NEXT, "freeaddrinfo");
  real(ai);
}
