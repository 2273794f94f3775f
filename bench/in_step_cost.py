#!/usr/bin/env python3
"""What keeping the server in step costs, over bench/make_data.py's small2k set
(2,000 files in 100 folders) against the pyftpdlib test server (the system
python3 with pyftpdlib, as the tests run it): the commands the server receives
and the wall time of a run that changes nothing, with and without Verify; then
of a DeleteRemoved run after half the folders (1,000 files) were removed
locally, against the same run with nothing to delete.

Usage: in_step_cost.py BUILD_DIR [THREADS]   (THREADS default 2)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(program, project):
    began = time.monotonic()
    subprocess.run([program, project], check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - began


def commands(trace):
    with open(trace, "rb") as lines:
        return [line.split(b"\t")[2].split(b" ")[0].strip().decode() for line in lines if line.count(b"\t") >= 2]


def main():
    program = os.path.join(os.path.abspath(sys.argv[1]), "dropvan")
    threads = sys.argv[2] if len(sys.argv) > 2 else "2"
    work = tempfile.mkdtemp(prefix="in_step_cost.")
    subprocess.run([sys.executable, os.path.join(HERE, "make_data.py"), work, "small2k"], check=True)
    root, trace = os.path.join(work, "root"), os.path.join(work, "trace")
    os.mkdir(root)
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "..", "tests", "ftp_server.py"), "--root", root,
                               "--trace", trace], stdout=subprocess.PIPE, text=True)
    try:
        port = server.stdout.readline().strip()
        project = os.path.join(work, "site.batch-dropvan")
        base = ["Source=%s/small2k/*.*" % work, "Target=/site/", "Server=127.0.0.1", "Port=" + port,
                "User=tester", "Password=secret", "PureConsole=True", "Subdir=True", "ThreadsCount=" + threads]
        def measure(options, removed_folders=0):
            with open(project, "w") as out:
                out.write("\n".join(base + options) + "\n")
            site = os.path.join(work, "small2k")
            folders = sorted(name for name in os.listdir(site) if os.path.isdir(os.path.join(site, name)))
            for folder in folders[:removed_folders]:
                shutil.rmtree(os.path.join(site, folder))
            before = len(commands(trace)) if os.path.exists(trace) else 0
            seconds = run(program, project)
            sent = commands(trace)[before:]
            counts = {verb: sent.count(verb) for verb in sorted(set(sent))}
            print("%-40s %6.2f s  %5d commands  %s" % (" ".join(options), seconds, len(sent), counts))

        for verify in ("False", "False", "True", "False", "True"):
            measure(["Verify=" + verify])
        deleting = ["DeleteRemoved=True", "DeleteLimit=0"]
        measure(deleting)
        measure(deleting, removed_folders=50)
    finally:
        server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
