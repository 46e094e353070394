#!/usr/bin/python3
"""The release, signed with a throw-away certificate.

openssl makes a code-signing certificate (a PFX with a password) and a
timestamp authority that answers RFC 3161 requests over HTTP on localhost;
scripts/release.sh signs and packs the Windows build with them. Every signed
file verifies with osslsigncode, timestamp included, and fails with one byte
changed; SHA256SUMS holds. Under Wine the signed setup installs, its launcher
starts the stand-in, its Uninstall.exe answers the skip switch with 0, and the
uninstaller the setup wrote verifies and uninstalls. Without a certificate the
release says so and is the unsigned build.

Usage: release_signed.py --build BUILD_DIR --setup VeltaAI-setup.exe --runner wine-run.sh
"""
import argparse
import filecmp
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e_setup  # noqa: E402
from e2e_support import TIMEOUT, Failure, Wine, check  # noqa: E402

RELEASE = os.path.join(HERE, "..", "..", "scripts", "release.sh")
PROGRAMS = ("VeltaAI.exe", "Uninstall.exe", "VeltaAI-setup.exe")


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, capture_output=True)


class Signer:
    """A self-signed code-signing certificate in a PFX, and a timestamp
    authority (openssl ts) serving on localhost."""

    def __init__(self, folder):
        self.folder = folder
        self.password = "throw-away"
        for name, usage in (("code", "codeSigning"), ("tsa", "critical,timeStamping")):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=VeltaAI test " + name, "-addext", "extendedKeyUsage=" + usage,
                    "-keyout", self.file(name + ".key"), "-out", self.file(name + ".pem"))
        self.pfx = self.file("code.pfx")
        openssl("pkcs12", "-export", "-inkey", self.file("code.key"), "-in",
                self.file("code.pem"), "-out", self.pfx, "-passout", "pass:" + self.password)
        with open(self.file("serial"), "w") as f:
            f.write("01\n")
        with open(self.file("tsa.cnf"), "w") as f:
            f.write("[tsa]\ndefault_tsa = test\n[test]\nserial = %s\nsigner_cert = %s\n"
                    "signer_key = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                    "digests = sha256\ness_cert_id_alg = sha256\n"
                    % (self.file("serial"), self.file("tsa.pem"), self.file("tsa.key")))

        config = self.file("tsa.cnf")

        class Authority(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory() as tmp:
                    with open(os.path.join(tmp, "query"), "wb") as f:
                        f.write(query)
                    openssl("ts", "-reply", "-config", config, "-queryfile",
                            os.path.join(tmp, "query"), "-out", os.path.join(tmp, "reply"))
                    with open(os.path.join(tmp, "reply"), "rb") as f:
                        reply = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d" % self.server.server_port

    def file(self, name):
        return os.path.join(self.folder, name)

    def env(self):
        return dict(unsigned_env(), VELTA_SIGN_PFX=self.pfx, VELTA_SIGN_PASSWORD=self.password,
                    VELTA_SIGN_TIMESTAMP_URL=self.url)

    def verifies(self, path):
        """Whether the file's signature and its timestamp verify."""
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", self.file("code.pem"),
                               "-TSA-CAfile", self.file("tsa.pem"), "-in", path],
                              capture_output=True, text=True)
        return (done.returncode == 0
                and "Timestamp Server Signature verification: ok" in done.stdout)


def unsigned_env():
    return {k: v for k, v in os.environ.items() if not k.startswith("VELTA_SIGN_")}


def release(build, out, env):
    done = subprocess.run(["bash", RELEASE, "--from", build, out], env=env,
                          capture_output=True, text=True, timeout=TIMEOUT * 10)
    check(done.returncode == 0, "release.sh failed:\n" + done.stdout + done.stderr)
    return done.stdout + done.stderr


def check_signed(signer, out):
    for name in PROGRAMS:
        path = os.path.join(out, name)
        check(signer.verifies(path), name + " does not verify")
        changed = os.path.join(signer.folder, "changed-" + name)
        shutil.copy(path, changed)
        with open(changed, "r+b") as f:
            f.seek(os.path.getsize(changed) // 2)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 1]))
        check(not signer.verifies(changed), name + " verifies with one byte changed")
    check(subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=out).returncode == 0,
          "SHA256SUMS does not match")


def check_installed(signer, args, out):
    # The signed programs as installed: launch through the shortcut, the skip
    # switch, and the uninstaller that the setup wrote.
    wine = Wine(args.runner, args.build)
    installation = argparse.Namespace(setup=os.path.join(out, "VeltaAI-setup.exe"),
                                      stage=out + "-stage")
    case = e2e_setup.Case(installation, wine)
    try:
        e2e_setup.case_install(case)
        folder = case.default_folder
        check(signer.verifies(os.path.join(folder, e2e_setup.UNINSTALLER)),
              "the installed uninstaller does not verify")
        done = subprocess.run(wine.command(wine.path(os.path.join(folder, "Uninstall.exe")),
                                           "/VELTAAIUNINSTALL"),
                              env=case.display_env, capture_output=True, timeout=TIMEOUT)
        check(done.returncode == 0, "Uninstall.exe /VELTAAIUNINSTALL ended with %d"
              % done.returncode)
        case.uninstall(folder, "/S")
        case.wait_uninstalled(folder)
        case.removed(folder)
    finally:
        case.close()


def check_unsigned(args, out):
    said = release(args.build, out, unsigned_env())
    check("NOT signed" in said, "release.sh did not say that it signs nothing:\n" + said)
    built = (os.path.join(args.build, "bin", "VeltaAI.exe"),
             os.path.join(args.build, "bin", "Uninstall.exe"), args.setup)
    for name, path in zip(PROGRAMS, built):
        check(filecmp.cmp(os.path.join(out, name), path, shallow=False),
              "the unsigned %s differs from the build's" % name)


def main():
    parser = argparse.ArgumentParser()
    for name in ("build", "setup", "runner"):
        parser.add_argument("--" + name, required=True, type=os.path.abspath)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="release-test-", dir=args.build)
    try:
        signer = Signer(folder)
        out = os.path.join(folder, "signed")
        release(args.build, out, signer.env())
        check_signed(signer, out)
        check_installed(signer, args, out)
        check_unsigned(args, os.path.join(folder, "unsigned"))
    except Failure as failure:
        print("FAIL release:", failure)
        return 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("PASS release")
    return 0


if __name__ == "__main__":
    sys.exit(main())
