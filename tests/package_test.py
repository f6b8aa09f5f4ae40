#!/usr/bin/env python3
"""Unpacks the two Debian packages into a temporary root, has the packaged rpcset call the
demo server, and builds the installed-package consumer against the unpacked libcorvane-dev."""
import argparse, ctypes, glob, os, queue, signal, subprocess, sys, tempfile, threading

ap = argparse.ArgumentParser()
for name in ("--cmake", "--packages", "--source-dir"):
    ap.add_argument(name, required=True)
args = ap.parse_args()


def run(cmd, timeout=300, out=subprocess.PIPE):
    print("+", " ".join(cmd), flush=True)
    return subprocess.run(cmd, check=True, timeout=timeout, stdout=out, stderr=out, text=True)


debs = [glob.glob(os.path.join(args.packages, p + "_*.deb")) for p in ("rpcset", "libcorvane-dev")]
assert all(len(found) == 1 for found in debs), f"not one of each package: {debs}"
depends = run(["dpkg-deb", "-f", debs[0][0], "Depends"]).stdout.strip()
assert depends.startswith("libc6 (") and "," not in depends, f"rpcset Depends: {depends}"
with tempfile.TemporaryDirectory(prefix="corvane-package-") as tmp:
    usr = os.path.join(tmp, "root", "usr")
    for [deb] in debs:
        run(["dpkg-deb", "-x", deb, os.path.dirname(usr)])
    for f in ("man/man1/rpcset.1.gz", "bash-completion/completions/rpcset",
              "doc/rpcset/copyright", "doc/libcorvane-dev/copyright"):
        assert os.path.isfile(os.path.join(usr, "share", f)), f"not in the packages: {f}"
    server = subprocess.Popen(  # killed with this process: PR_SET_PDEATHSIG
        [sys.executable, "-u", os.path.join(args.source_dir, "examples", "provision_server.py"),
         "0"], stdout=subprocess.PIPE, text=True,
        preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(s.strip()) for s in server.stdout],
                     daemon=True).start()
    try:
        port = lines.get(timeout=30).removeprefix("listening on 127.0.0.1 port ")
        for host, words, seen in (
                ("127.0.0.1", ["boot", "00:11", "pxe"], "SetBOOT proc_info='pxe' mac_info='00:11'"),
                ("localhost", ["dhcp", "00:11", "2", "10.0.0.4"],
                 "SetDHCP ps_num='2' mac_info='00:11' ip_info='10.0.0.4'")):
            out = run([os.path.join(usr, "bin", "rpcset"), host, port, *words], timeout=30)
            assert out.stdout + out.stderr == "", f"rpcset printed {out.stdout!r} {out.stderr!r}"
            assert lines.get(timeout=30) == seen
        build = os.path.join(tmp, "consumer")
        run([args.cmake, "-S", os.path.join(args.source_dir, "tests", "install"), "-B", build,
             "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={usr}"], out=None)
        run([args.cmake, "--build", build], out=None)
        out = run([os.path.join(build, "consumer"), "127.0.0.1", port], timeout=30)
        assert out.stdout == "result 0\n", out.stdout
        assert lines.get(timeout=30) == "SetBOOT proc_info='pxe' mac_info='00:11:22:33:44:55'"
    finally:
        server.kill()
        server.wait(timeout=10)
print("package test passed")
