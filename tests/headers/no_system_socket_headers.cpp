// The HTTP client's public headers keep the system's socket interface to
// themselves: a file that uses the client sees none of it.
#include "engine/ping_service.h"
#include "http/http_send.h"
#include "http/memory_socket.h"
#include "http/proxy_config.h"

#if defined(AF_INET) || defined(SOCK_STREAM) || defined(EAI_NONAME) || defined(INADDR_ANY)
#error "a public HTTP header includes a system socket header"
#endif
