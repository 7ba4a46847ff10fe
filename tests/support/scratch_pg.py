"""A scratch PostgreSQL for the tests and benchmarks, never the machine's own.

The cluster is made by initdb in a temporary folder of its own, listens on
127.0.0.1 only, on a free port, with its unix socket in a private folder, and
asks for passwords (scram-sha-256) on loopback. PostgreSQL refuses to run as
root, so under root it runs as `nobody`. Roles and database are set up exactly
as the README tells a factory to: its block of SQL is run as it stands, with
this module's passwords.

As a module:

    with ScratchPostgres() as pg:
        pg.connection_string("station")
        pg.crash(); pg.restart()

As a command (DIR keeps what stop, crash and restart need):

    python3 scratch_pg.py start DIR [--watch PID]   # prints JSON
    python3 scratch_pg.py stop DIR
    python3 scratch_pg.py crash DIR                 # pg_ctl stop -m immediate
    python3 scratch_pg.py restart DIR               # on the same port

With --watch, the server is stopped once process PID has ended, so that a test
that dies leaves no server behind.
"""

import atexit
import glob
import json
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DRIVER = "PostgreSQL Unicode"
DATABASE = "dtu_line"
SUPERUSER = "postgres"
# The README's logins. The passwords hold ';', '}', '=' and a quote so that a
# connection string must brace them and SQL must quote them.
ROLES = {
    "owner": ("line_owner", "own;er}pw=1"),
    "supervisor": ("anna", "su'per;vi}sor=2"),
    "station": ("bench", "st{a}tion;pw"),
    "reporter": ("wall", "re}port;er'4"),
}
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
README_MARK = "<!-- tests/support/scratch_pg.py runs this block"
STATE_FILE = "scratch_pg.json"


def _bin_dir():
    """The bin folder of the highest PostgreSQL version installed."""
    found = []
    for path in glob.glob("/usr/lib/postgresql/*/bin"):
        version = os.path.basename(os.path.dirname(path))
        if re.fullmatch(r"\d+(\.\d+)?", version) and os.path.exists(os.path.join(path, "initdb")):
            found.append((tuple(int(n) for n in version.split(".")), path))
    if not found:
        raise RuntimeError("no PostgreSQL under /usr/lib/postgresql: run scripts/deps.sh")
    return max(found)[1]


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def odbc_brace(value):
    """An ODBC connection-string value braced, so ';' and '}' stay in it."""
    return "{" + value.replace("}", "}}") + "}"


def _sql_literal(value):
    return "'" + value.replace("'", "''") + "'"


def readme_roles_sql():
    """The README's block of SQL that makes the line's database and logins."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().split(README_MARK, 1)[1].split("\n")[1:]
    block = []
    for line in lines:
        if line.startswith("    "):
            block.append(line[4:])
        elif block:
            break
    return "\n".join(block) + "\n"


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class ScratchPostgres:
    """One scratch cluster. state_dir, if given, keeps its state for the command line."""

    def __init__(self, state_dir=None):
        self.state_dir = os.path.abspath(state_dir) if state_dir else None
        self.bin = _bin_dir()
        self.root = None
        self.port = None
        self.pid = None
        self.watcher = None
        self._atexit = False

    # -- paths and state --------------------------------------------------

    @property
    def data_dir(self):
        return os.path.join(self.root, "data")

    @property
    def socket_dir(self):
        return os.path.join(self.root, "socket")

    @property
    def log_file(self):
        return os.path.join(self.root, "server.log")

    def info(self):
        roles = {}
        for key, (user, password) in ROLES.items():
            roles[key] = {"user": user, "password": password,
                          "connection_string": self.connection_string(key)}
        return {"root": self.root, "data_dir": self.data_dir, "port": self.port,
                "host": "127.0.0.1", "socket_dir": self.socket_dir, "pid": self.pid,
                "database": DATABASE, "driver": DRIVER, "superuser": SUPERUSER,
                "roles": roles, "watcher": self.watcher}

    def connection_string(self, role="station", password=None, port=None):
        user, real = ROLES[role]
        return "Driver={%s};Server=127.0.0.1;Port=%d;Database=%s;Uid=%s;Pwd=%s" % (
            DRIVER, port or self.port, DATABASE, user,
            odbc_brace(real if password is None else password))

    def _save(self):
        if self.state_dir:
            os.makedirs(self.state_dir, exist_ok=True)
            path = os.path.join(self.state_dir, STATE_FILE)
            with open(path + ".tmp", "w", encoding="utf-8") as f:
                json.dump(self.info(), f)
            os.replace(path + ".tmp", path)

    @classmethod
    def load(cls, state_dir):
        with open(os.path.join(state_dir, STATE_FILE), encoding="utf-8") as f:
            state = json.load(f)
        pg = cls(state_dir)
        pg.root, pg.port, pg.pid, pg.watcher = (state["root"], state["port"], state["pid"],
                                                state.get("watcher"))
        return pg

    # -- running as the server's user -------------------------------------

    def _as_server_user(self, args):
        if os.geteuid() != 0:
            return args
        nobody = pwd.getpwnam("nobody")
        return ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid,
                "--clear-groups", "--"] + args

    def _run(self, args, check=True, timeout=120):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env["HOME"] = self.root
        result = subprocess.run(self._as_server_user(args), cwd=self.root, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=timeout, check=False)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s%s" % (
                os.path.basename(args[0]), result.returncode, result.stdout, self._log_tail()))
        return result

    def _log_tail(self):
        try:
            with open(self.log_file, encoding="utf-8", errors="replace") as f:
                return "\nserver log:\n" + "".join(f.readlines()[-20:])
        except OSError:
            return ""

    def psql(self, *statements, database=DATABASE):
        """Runs each statement on its own as the superuser over the private
        socket; returns the output."""
        args = [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                "-h", self.socket_dir, "-p", str(self.port), "-U", SUPERUSER, "-d", database]
        for sql in statements:
            args += ["-c", sql]
        return self._run(args).stdout

    def psql_as(self, role, sql):
        """Runs sql as one of the README's logins, over loopback with its
        password; returns (exit code, everything printed)."""
        user, password = ROLES[role]
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env["PGPASSWORD"] = password
        result = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
             "-h", "127.0.0.1", "-p", str(self.port), "-U", user, "-d", DATABASE, "-c", sql],
            env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
            check=False)
        return result.returncode, result.stdout + result.stderr

    # -- life cycle -------------------------------------------------------

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        """Makes and starts the cluster; on any failure removes what it made."""
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        self.root = tempfile.mkdtemp(prefix="dtu-pg-")
        if not self._atexit:
            atexit.register(self.stop)
            self._atexit = True
        os.mkdir(self.socket_dir, 0o700)
        password_file = os.path.join(self.root, "superuser-password")
        with open(os.open(password_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(secrets.token_hex(24))
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            for path in (self.root, self.socket_dir, password_file):
                os.chown(path, nobody.pw_uid, nobody.pw_gid)
        self._run([os.path.join(self.bin, "initdb"), "-D", self.data_dir, "-U", SUPERUSER,
                   "--pwfile", password_file, "-E", "UTF8", "--locale=C", "--no-sync",
                   "--auth-local=trust", "--auth-host=scram-sha-256", "--no-instructions"])
        with open(os.path.join(self.data_dir, "pg_hba.conf"), "w", encoding="ascii") as f:
            # The socket's folder is private to the server's user: trust there,
            # passwords on loopback TCP, nothing else.
            f.write("local all all trust\nhost all all 127.0.0.1/32 scram-sha-256\n")
        for attempt in range(5):
            self.port = _free_port()
            try:
                self._pg_ctl_start()
                break
            except RuntimeError:
                if attempt == 4:
                    raise
        self._make_roles()
        self._save()

    def _pg_ctl_start(self):
        # No fsync: the machine does not lose power under a test. A commit
        # still reaches the kernel before it is acknowledged, so that crash()
        # loses nothing a client was told is committed, as on a real server.
        options = ("-c listen_addresses=127.0.0.1 -c port=%d -c unix_socket_directories=%s "
                   "-c unix_socket_permissions=0700 -c fsync=off -c full_page_writes=off "
                   "-c max_connections=100" % (self.port, self.socket_dir))
        self._run([os.path.join(self.bin, "pg_ctl"), "start", "-D", self.data_dir, "-w", "-t", "60",
                   "-l", self.log_file, "-o", options])
        with open(os.path.join(self.data_dir, "postmaster.pid"), encoding="ascii") as f:
            self.pid = int(f.readline())

    def _make_roles(self):
        """Runs the README's block of SQL as the superuser, passwords swapped for ours."""
        sql = readme_roles_sql()
        for user, password in ROLES.values():
            sql, found = re.subn(r"(CREATE ROLE %s LOGIN PASSWORD )'(?:[^']|'')*'" % user,
                                 lambda m: m.group(1) + _sql_literal(password), sql)
            if found != 1:
                raise RuntimeError("the README's SQL makes no login %s" % user)
        args = [os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1",
                "-h", self.socket_dir, "-p", str(self.port), "-U", SUPERUSER, "-d", "postgres",
                "-f", self._write("roles.sql", sql)]
        self._run(args)

    def _write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(path, nobody.pw_uid, nobody.pw_gid)
        return path

    def running(self):
        return bool(self.pid) and _pid_alive(self.pid) and self._is_our_postmaster(self.pid)

    def _is_our_postmaster(self, pid):
        """Whether pid is still the postmaster of this cluster, not a reused pid."""
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return self.data_dir.encode() in f.read()
        except OSError:
            return False

    def crash(self):
        """Stops the server at once, as a crash would, without a checkpoint."""
        self._run([os.path.join(self.bin, "pg_ctl"), "stop", "-D", self.data_dir, "-m",
                   "immediate", "-w", "-t", "30"])
        self.pid = None
        self._save()

    def restart(self):
        """Starts the server again on the same port, after crash() or stop_server()."""
        self._pg_ctl_start()
        self._save()

    def stop_server(self):
        """Stops the server and keeps its files, for restart()."""
        if self.running():
            self._run([os.path.join(self.bin, "pg_ctl"), "stop", "-D", self.data_dir, "-m", "fast",
                       "-w", "-t", "30"], check=False)
            if self.running():
                os.kill(self.pid, signal.SIGKILL)
                for _ in range(100):
                    if not _pid_alive(self.pid):
                        break
                    time.sleep(0.05)
        self.pid = None

    def stop(self):
        """Stops the server and removes its files; safe to call twice."""
        if self.watcher and self.watcher != os.getpid() and _pid_alive(self.watcher):
            try:
                os.kill(self.watcher, signal.SIGTERM)
            except OSError:
                pass
        self.watcher = None
        if self.root:
            self.stop_server()
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None
        if self.state_dir:
            try:
                os.remove(os.path.join(self.state_dir, STATE_FILE))
            except FileNotFoundError:
                pass

    def watch(self, pid):
        """Starts a detached process that stops this server once pid has ended."""
        process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "_watch",
                                    self.state_dir, str(pid)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self.watcher = process.pid
        self._save()


def _watch(state_dir, pid):
    path = os.path.join(state_dir, STATE_FILE)
    while os.path.exists(path) and _pid_alive(pid):
        time.sleep(0.5)
    if os.path.exists(path):
        pg = ScratchPostgres.load(state_dir)
        pg.watcher = None
        pg.stop()
        try:
            os.rmdir(state_dir)  # the folder of a caller that is gone, if it is empty
        except OSError:
            pass


def main(argv):
    usage = "usage: scratch_pg.py start|stop|crash|restart DIR [--watch PID]"
    if len(argv) < 2:
        print(usage, file=sys.stderr)
        return 2
    command, state_dir = argv[0], os.path.abspath(argv[1])
    if command == "start":
        watch = None
        if argv[2:4] and argv[2] == "--watch" and len(argv) == 4:
            watch = int(argv[3])
        elif len(argv) != 2:
            print(usage, file=sys.stderr)
            return 2
        if os.path.exists(os.path.join(state_dir, STATE_FILE)):
            print("scratch_pg.py: a server is already started in %s" % state_dir, file=sys.stderr)
            return 1
        pg = ScratchPostgres(state_dir).start()
        if watch is not None:
            pg.watch(watch)
        # The server outlives this command: only stop ends it.
        atexit.unregister(pg.stop)
        print(json.dumps(pg.info(), indent=2))
        return 0
    if command == "_watch":
        _watch(state_dir, int(argv[2]))
        return 0
    if command not in ("stop", "crash", "restart") or len(argv) != 2:
        print(usage, file=sys.stderr)
        return 2
    if not os.path.exists(os.path.join(state_dir, STATE_FILE)):
        if command == "stop":
            return 0
        print("scratch_pg.py: no server started in %s" % state_dir, file=sys.stderr)
        return 1
    pg = ScratchPostgres.load(state_dir)
    if command == "stop":
        pg.stop()
    elif command == "crash":
        pg.crash()
    else:
        pg.restart()
        print(json.dumps(pg.info(), indent=2))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except RuntimeError as e:
        print("scratch_pg.py: %s" % e, file=sys.stderr)
        sys.exit(1)
