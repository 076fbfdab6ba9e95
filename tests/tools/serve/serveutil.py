"""Helpers of zrreg serve's tests: a server on a scratch copy of the sample registry, plain
HTTP requests to it, and zrreg query to see what the file holds."""
import http.client
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE


class Served:
    """zrreg serve FILE running in a scratch directory."""

    def __init__(self, zrreg, source, *args, name="app.txt"):
        self.zrreg = os.path.abspath(zrreg)
        self.dir = tempfile.mkdtemp(prefix="zrreg-serve.")
        self.file = os.path.join(self.dir, name)
        if source:
            shutil.copy(source, self.file)
        # Run in the scratch directory with the file's bare name, as a user would. In the
        # sanitizer build, a frame's locals die with it, so that a pointer kept into a
        # thread's ended stack is caught (ignored by other builds).
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_stack_use_after_return=1"]))
        self.proc = subprocess.Popen([os.path.abspath(zrreg), "serve", name, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, cwd=self.dir, env=env)
        self.url = self.proc.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            raise RuntimeError("no address from zrreg serve: %r %s" % (self.url, self.proc.stderr.read()))
        self.host = self.url.split("/")[2]
        self.port = int(self.host.split(":")[1])
        self.token = self.url.split("token=")[1]

    def request(self, method, path, body=None, headers=None, token=True, host=None, timeout=30):
        """(status, headers, body bytes) of one request on a connection of its own; status 0
        when the connection ends or the answer takes longer than `timeout` seconds."""
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        h = {"Host": host or self.host}
        if token:
            h["Authorization"] = "Bearer " + self.token
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
            h["Content-Type"] = "application/json"
        h.update(headers or {})
        c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for k, v in h.items():
            c.putheader(k, v)
        data = body.encode() if isinstance(body, str) else body
        if data is not None:
            c.putheader("Content-Length", str(len(data)))
        c.endheaders()
        if data is not None:
            try:
                c.send(data)
            except (BrokenPipeError, ConnectionResetError):
                pass
        try:
            r = c.getresponse()
            out = (r.status, dict(r.getheaders()), r.read())
        except (ConnectionResetError, http.client.RemoteDisconnected, TimeoutError):
            out = (0, {}, b"")
        c.close()
        return out

    def json(self, method, path, body=None, **kw):
        status, headers, data = self.request(method, path, body, **kw)
        return status, json.loads(data.decode()) if data else None

    def query(self, *args):
        """zrreg query FILE ARGS --json, from another process; None when it fails."""
        r = subprocess.run([self.zrreg, "query", self.file, *args, "--json"], capture_output=True, text=True)
        return json.loads(r.stdout) if r.returncode == 0 else None

    def value(self, key, name):
        q = self.query(key, "-v", name)
        return q["keys"][0]["values"][0]["data"] if q else None

    def stop(self):
        """SIGTERM; the exit status."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout=20)
        finally:
            self.proc.stdout.close()
            self.stderr = self.proc.stderr.read()
            self.proc.stderr.close()
        return rc

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def check(cond, what):
    if not cond:
        raise AssertionError(what)
    print("ok:", what)


def wait_for(pred, seconds):
    end = time.monotonic() + seconds
    while True:
        r = pred()
        if r or time.monotonic() > end:
            return r
        time.sleep(0.02)
