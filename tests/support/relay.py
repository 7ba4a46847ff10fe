"""A TCP relay on loopback between the stations and the scratch server, for
the network's faults: stalled, it moves no byte either way and closes
nothing, as a link that drops every packet; resumed, it moves them again."""

import socket
import threading


class Relay:
    def __init__(self, target_port):
        self.target = ("127.0.0.1", target_port)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(32)
        self.port = self.listener.getsockname()[1]
        self.flowing = threading.Event()
        self.flowing.set()
        self.closed = False
        self.sockets = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def stall(self):
        self.flowing.clear()

    def resume(self):
        self.flowing.set()

    def close(self):
        self.closed = True
        self.flowing.set()
        with self.lock:
            for s in self.sockets + [self.listener]:
                try:
                    s.close()
                except OSError:
                    pass

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.flowing.wait()
            try:
                server = socket.create_connection(self.target, timeout=5)
            except OSError:
                client.close()
                continue
            server.settimeout(None)
            with self.lock:
                self.sockets += [client, server]
            for source, sink in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    def _pump(self, source, sink):
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            self.flowing.wait()
            if self.closed:
                break
            try:
                sink.sendall(data)
            except OSError:
                break
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
