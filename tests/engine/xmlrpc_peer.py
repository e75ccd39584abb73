"""A real XML-RPC ping service for the ping call's tests.

Usage: xmlrpc_peer.py SITE

Listens on 127.0.0.1 with a free port, prints "PORT <n>" on a line of its
own, and serves weblogUpdates.ping on two paths until it is terminated:
  /RPC2    thanks for the ping, when both parameters are SITE;
  /refuse  answers with flerror set and a message.
A call whose parameters are not exactly SITE twice is refused with a
message naming what arrived, so that a test sees what the peer received.
"""

import sys
from xmlrpc.server import MultiPathXMLRPCServer, SimpleXMLRPCDispatcher, SimpleXMLRPCRequestHandler

THANKS = "Thanks for the ping."
REFUSAL = "Site is banned."


class Handler(SimpleXMLRPCRequestHandler):
    rpc_paths = ("/RPC2", "/refuse")

    def log_message(self, format, *args):
        pass


def main():
    site = sys.argv[1]

    def checked(answer):
        def ping(*params):
            if list(params) != [site, site]:
                return {"flerror": True, "message": "unexpected parameters: %r" % (params,)}
            return answer
        return ping

    server = MultiPathXMLRPCServer(("127.0.0.1", 0), requestHandler=Handler, logRequests=False, allow_none=True)
    for path, answer in (("/RPC2", {"flerror": False, "message": THANKS}),
                         ("/refuse", {"flerror": True, "message": REFUSAL})):
        dispatcher = SimpleXMLRPCDispatcher(allow_none=True, encoding="utf-8")
        dispatcher.register_function(checked(answer), "weblogUpdates.ping")
        server.add_dispatcher(path, dispatcher)

    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
