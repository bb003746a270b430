#!/usr/bin/env python3
"""The release checks: what `make release` ships, proven end to end.

    tests/release/run_release_tests.py [--host-build DIR] [--work DIR]

- refusals: loopback update host, API host or DSN host, and a tree with
  uncommitted changes, leave nothing behind;
- reproducible: two clones of HEAD in different folders, each built with
  scripts/release without the compiler cache, give the same bytes;
- the shipped file: version information, unchanged manifest, icon and font,
  no build path, a debug link and build id that match the kept debug file;
  static imports of KnownDLLs only, and delay imports of what cmake/delay names;
- Authenticode: a throw-away code-signing CA; valdrix-release sign and
  verify-signature, a tampered byte, a wrong CA, and make release's signing;
  what Wine's WinVerifyTrust says about the same files;
- symbols: the crash fixture built with the release flags crashes under Wine;
  its minidump's exception address resolves with the kept debug file to the
  crashing function and line, and its event names the module's identity.

It checks HEAD: commit first (uncommitted changes are not part of it).
Prints one PASS or FAIL line per check and "N passed, N failed" at the end.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import types
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pe_tools import (RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_RCDATA, RT_VERSION,  # noqa: E402
                      Minidump, PeFile, icon_images, parse_version_info)

ROOT = Path(__file__).resolve().parent.parent.parent
EXE = "Valdrix.Setup.exe"
MINGW = "x86_64-w64-mingw32"
results = {"passed": 0, "failed": 0}
# The KnownDLLs of Windows 10 1607 and later: Windows maps these from System32
# whatever folder the program was started in.
KNOWN_DLLS = {"advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus", "imagehlp",
              "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4",
              "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32", "ws2_32"}


def check(name, ok, detail=""):
    results["passed" if ok else "failed"] += 1
    print(("PASS " if ok else "FAIL ") + name + ("" if ok or not detail else f"\n    {detail}"), flush=True)
    return ok


def run(args, cwd=None, env=None, check_result=True):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if check_result and result.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, args))} exited with {result.returncode}:\n{result.stdout[-4000:]}")
    return result


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def load_release_script():
    """scripts/release as a module (it has no .py name to import it by)."""
    path = ROOT / "scripts" / "release"
    module = types.ModuleType("release_script")
    module.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), module.__dict__)
    return module


def clone(commit, target):
    run(["git", "clone", "-q", "--shared", "--no-checkout", ROOT, target])
    run(["git", "-C", target, "checkout", "-q", "--detach", commit])


# A release is built with keys: fresh public keys made by main() stand in for
# the vendor's; the committed test keys are refused.
TEST_KEYS = ROOT / "tests" / "keys"
KEYED = {}


def make_keys(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name in ("MANIFEST_KEY", "TOKEN_KEY"):
        path = folder / f"{name.lower()}.pub"
        path.write_text(base64.urlsafe_b64encode(os.urandom(32)).decode().rstrip("="))
        KEYED[name] = str(path)


def key_id(public_key_file):
    text = Path(public_key_file).read_text().strip()
    return hashlib.sha256(base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))).hexdigest()[:16]


def release_env(keys=True, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("UPDATE_HOST", "API_HOST", "DSN", "ALLOW_DIRTY", "SIGN_CERT", "SIGN_KEY", "SIGN_CHAIN",
                        "TIMESTAMP_URL", "MANIFEST_KEY", "TOKEN_KEY", "ALLOW_UNPINNED")}
    env.update(CCACHE_DISABLE="1", JOBS=os.environ.get("JOBS", "2"))
    env.update({**(KEYED if keys else {}), **extra})
    return env


# --- refusals ---------------------------------------------------------------------

ENDPOINT_ROWS = [
    # update host, API host, DSN, refused because of
    ("localhost:8443", "api.valdrix.com", None, 'update host "localhost:8443"'),
    ("update.valdrix.com", "127.0.0.1", None, 'API host "127.0.0.1"'),
    ("update.valdrix.com", "127.1:443", None, 'API host "127.1:443"'),
    ("[::1]:8443", "api.valdrix.com", None, 'update host "[::1]:8443"'),
    ("0.0.0.0", "api.valdrix.com", None, 'update host "0.0.0.0"'),
    ("updates.localhost", "api.valdrix.com", None, 'update host "updates.localhost"'),
    ("update.valdrix.com", "api.valdrix.com", "https://k@[::1]:8443/4", 'DSN host "::1"'),
    ("update.valdrix.com", "api.valdrix.com", "https://k@LOCALHOST./4", 'DSN host "localhost."'),
    ("update.valdrix.com", "api.valdrix.com", "https://k@[::ffff:127.0.0.9]/4", 'DSN host "::ffff:127.0.0.9"'),
    ("update.valdrix.com", "api.valdrix.com", "localhost:8443", 'not a URL with a host'),
    # accepted: names that only look local
    ("localhost.valdrix.com", "127.example.com:443", "https://k@reports.valdrix.com:8443/4", None),
    ("203.0.113.7:8443", "[2001:db8::1]:443", "https://k@reports.valdrix.com/4", None),
]


def check_refusals(release, clone_dir, work):
    default_dsn = release.cmake_default("VALDRIX_DSN")
    for update_host, api_host, dsn, reason in ENDPOINT_ROWS:
        try:
            release.check_endpoints(update_host, api_host, dsn or default_dsn)
            outcome = None
        except release.Refusal as refusal:
            outcome = str(refusal)
        name = f"endpoints {update_host} / {api_host} / {dsn or 'default DSN'}: " + (
            "refused" if reason else "accepted")
        check(name, (outcome is None) if reason is None else (outcome is not None and reason in outcome), outcome)

    # The command itself: a clear message, exit 1, nothing built, no dist.
    target = work / "refused"
    cases = [("a loopback update host", {"UPDATE_HOST": "localhost:8443"}, "loopback"),
             ("a loopback DSN host", {"DSN": "https://0123@127.0.0.1:8443/42"}, "loopback"),
             ("a build without keys", {"keys": False}, "no MANIFEST_KEY and TOKEN_KEY"),
             ("a token key that is not a key", {"TOKEN_KEY": str(TEST_KEYS / "token.key")},
              "is not a public key written by valdrix-release keygen"),
             ("the committed test keys", {"MANIFEST_KEY": str(TEST_KEYS / "manifest.pub"),
                                          "TOKEN_KEY": str(TEST_KEYS / "token.pub")}, "committed test key")]
    untracked = clone_dir / "src" / "uncommitted.cpp"
    for name, env, message in cases + [("uncommitted changes", {}, "uncommitted changes")]:
        if name == "uncommitted changes":
            untracked.write_text("// not committed\n")
        result = run([clone_dir / "scripts" / "release", "--dist", target / "dist", "--build", target / "build"],
                     env=release_env(**env), check_result=False)
        untracked.unlink(missing_ok=True)
        check(f"make release refuses {name}: exit 1, a clear message, no dist",
              result.returncode == 1 and "release: refused:" in result.stdout and message in result.stdout
              and not (target / "dist").exists() and not (target / "build").exists(), result.stdout)


# --- the shipped file ---------------------------------------------------------------

def check_shipped(dist, clone_dir, commit):
    exe = PeFile.read(dist / EXE)
    debug = dist / (EXE + ".debug")
    version = (clone_dir / "VERSION").read_text().strip()
    numbers, strings = parse_version_info(exe.resources()[(RT_VERSION, 1, 1033)])
    expected = {"CompanyName": "Valdrix Inc.", "ProductName": "Valdrix", "FileDescription": "Valdrix Setup",
                "OriginalFilename": EXE, "InternalName": EXE, "FileVersion": version, "ProductVersion": version,
                "LegalCopyright": f"Copyright (C) {version.split('.')[0]} Valdrix Inc."}
    check("version information: names and the version of VERSION", strings == expected,
          f"{strings} != {expected}")
    as_numbers = tuple(int(p) for p in version.split("."))
    check("version information: FileVersion and ProductVersion numbers", numbers["file"] == as_numbers
          and numbers["product"] == as_numbers, numbers)

    resources = exe.resources()
    source = clone_dir / "src" / "resources"
    icons = icon_images((source / "valdrix.ico").read_bytes())
    kept = {"manifest": resources.get((RT_MANIFEST, 1, 1033)) == (source / "app.manifest").read_bytes(),
            "font": resources.get((RT_RCDATA, 1, 1033)) == (source / "Outfit-Regular.ttf").read_bytes(),
            "icon images": [resources.get((RT_ICON, i + 1, 1033)) for i in range(len(icons))] == icons,
            "icon group": (RT_GROUP_ICON, "IDI_ICON1", 1033) in resources,
            "nothing else": sorted({k[0] for k in resources}) == sorted({RT_ICON, RT_RCDATA, RT_GROUP_ICON,
                                                                          RT_VERSION, RT_MANIFEST})}
    check("manifest, icon and font resources are the files of src/resources", all(kept.values()), kept)

    info = json.loads((dist / "build-info.json").read_text())
    check("build-info.json: version, production hosts, commit, compiler and packages",
          info["version"] == version and info["commit"] == commit and info["update_host"] == "update.valdrix.com"
          and info["api_host"] == "api.valdrix.com" and "reports.valdrix.com" in info["dsn"]
          and info["compiler"].startswith(f"{MINGW}-g++") and info["packages"].get("g++-mingw-w64-x86-64-posix")
          and info["unsigned_sha256"] == sha256(dist / EXE) and info["signed"] is False, info)
    check("build-info.json names the built-in keys' ids",
          info["manifest_key_ids"] == [key_id(KEYED["MANIFEST_KEY"])]
          and info["token_key_id"] == key_id(KEYED["TOKEN_KEY"]), info)
    sums = (dist / "SHA256SUMS").read_text()
    check("SHA256SUMS lists the executable and its debug file",
          sums == f"{sha256(dist / EXE)}  {EXE}\n{sha256(debug)}  {EXE}.debug\n", sums)

    commit_time = int(run(["git", "-C", clone_dir, "log", "-1", "--format=%ct"]).stdout)
    check("the PE time stamp is the commit's time", exe.time_stamp == commit_time,
          f"{exe.time_stamp} != {commit_time}")
    link = exe.debug_link()
    check("the debug link names Valdrix.Setup.exe.debug with its CRC",
          link == (EXE + ".debug", zlib.crc32(debug.read_bytes())), link)
    debug_pe = PeFile.read(debug)
    check("the build id of the executable is the one of the debug file",
          exe.build_id() is not None and exe.build_id() == debug_pe.build_id(), (exe.build_id(), debug_pe.build_id()))
    unaligned = [section.name for section in exe.sections if section.raw_size and section.raw_offset % 4096]
    check("the shipped executable's sections start on page boundaries in the file (Wine maps, not copies, them)",
          exe.sections and not unaligned, unaligned)
    check_imports(exe, clone_dir)
    symbols = run([f"{MINGW}-objdump", "-h", dist / EXE]).stdout
    check("the shipped executable is stripped", ".debug_info" not in symbols and exe.data.find(b".debug_") < 0)
    check("the debug file holds the debug information", ".debug_info" in run([f"{MINGW}-objdump", "-h", debug]).stdout)


def check_imports(exe, clone_dir):
    """The loader maps the static imports before the setup's first instruction,
    from the folder it was started in unless they are KnownDLLs; every other
    DLL is a delay import, loaded from System32 once the setup allows only that."""
    imported = sorted(name for name in exe.imports() if name.lower().removesuffix(".dll") not in KNOWN_DLLS)
    check("every static import of the shipped executable is a KnownDLL", exe.imports() and not imported, imported)
    listed = {}
    for definition in sorted((clone_dir / "cmake" / "delay").glob("*.def")):
        lines = [line.strip() for line in definition.read_text().splitlines() if line.strip()]
        listed[lines[0].split()[1].lower()] = set(lines[lines.index("EXPORTS") + 1:])
    delayed = {name.lower(): set(functions) for name, functions in exe.delay_imports().items()}
    strays = {name: sorted(functions - listed.get(name, set())) for name, functions in delayed.items()
              if not functions <= listed.get(name, set())}
    check("the delay-loaded DLLs are those cmake/delay/*.def names, with functions listed there",
          delayed.keys() == listed.keys() and not strays, (sorted(delayed), sorted(listed), strays))


def check_no_build_path(dist, clone_dir):
    leaks = [name for name in (EXE, EXE + ".debug")
             if str(clone_dir).encode() in (dist / name).read_bytes()
             or str(ROOT).encode() in (dist / name).read_bytes()]
    check("no build folder in the executable or its debug file", not leaks, leaks)


# --- signing ----------------------------------------------------------------------

CA_EXTENSIONS = """
[valdrix_ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[valdrix_signer]
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
"""


def make_ca(folder, name):
    """A throw-away CA and a code-signing certificate it issued."""
    folder.mkdir(parents=True)
    config = folder / "openssl.cnf"
    config.write_text(Path("/etc/ssl/openssl.cnf").read_text() + CA_EXTENSIONS)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder / "ca.key", "-out",
         folder / "ca.pem", "-days", "2", "-subj", f"/CN={name} Test Code Signing CA", "-config", config,
         "-extensions", "valdrix_ca"])
    run(["openssl", "x509", "-in", folder / "ca.pem", "-outform", "DER", "-out", folder / "ca.der"])
    run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", folder / "signer.key", "-out",
         folder / "signer.csr", "-subj", "/CN=Valdrix Inc./O=Valdrix Inc.", "-config", config])
    run(["openssl", "x509", "-req", "-in", folder / "signer.csr", "-CA", folder / "ca.pem", "-CAkey",
         folder / "ca.key", "-CAcreateserial", "-out", folder / "signer.pem", "-days", "2", "-extfile", config,
         "-extensions", "valdrix_signer"])
    return folder


def check_signing(tool, dist, clone_dir, work):
    signing = work / "signing"
    shutil.rmtree(signing, ignore_errors=True)
    ca = make_ca(signing / "ca", "Valdrix")
    other = make_ca(signing / "other", "Other")
    signed = signing / EXE
    result = run([tool, "sign", "--in", dist / EXE, "--cert", ca / "signer.pem", "--key", ca / "signer.key",
                  "--out", signed], check_result=False)
    check("valdrix-release sign signs with SHA-256", result.returncode == 0 and signed.exists(), result.stdout)
    verified = run([tool, "verify-signature", "--in", signed, "--ca", ca / "ca.pem"], check_result=False)
    check("verify-signature accepts it with the CA", verified.returncode == 0
          and "Signature verification: ok" in verified.stdout and "SHA256" in verified.stdout, verified.stdout)
    print("    osslsigncode verify output:\n" + "\n".join("      " + line for line in verified.stdout.splitlines()))

    tampered = signing / "tampered.exe"
    data = bytearray(signed.read_bytes())
    text = PeFile.parse(bytes(data)).section(".text")
    data[text.raw_offset + 0x100] ^= 0x01
    tampered.write_bytes(bytes(data))
    rows = [("a tampered byte", tampered, ca, "MISMATCH"), ("a wrong CA", signed, other, "verify error"),
            ("an unsigned file", dist / EXE, ca, "")]
    for name, file, authority, says in rows:
        result = run([tool, "verify-signature", "--in", file, "--ca", authority / "ca.pem"], check_result=False)
        check(f"verify-signature refuses {name} (exit 1)", result.returncode == 1 and says in result.stdout
              and "does not verify" in result.stdout, result.stdout[-2000:])
    bad = run([tool, "sign", "--in", dist / EXE, "--cert", ca / "signer.pem", "--key", other / "signer.key",
               "--out", signing / "mismatched.exe"], check_result=False)
    check("sign fails with a key that is not the certificate's, and writes nothing",
          bad.returncode == 1 and "osslsigncode sign failed" in bad.stdout
          and not (signing / "mismatched.exe").exists(), bad.stdout[-2000:])

    # make release signs as its last step; the unsigned bytes stay on record.
    signed_dist = work / "dist-signed"
    result = run([clone_dir / "scripts" / "release", "--dist", signed_dist],
                 env=release_env(SIGN_CERT=str(ca / "signer.pem"), SIGN_KEY=str(ca / "signer.key"),
                                 VALDRIX_RELEASE_TOOL=str(tool)), check_result=False)
    info = json.loads((signed_dist / "build-info.json").read_text()) if result.returncode == 0 else {}
    again = run([tool, "verify-signature", "--in", signed_dist / EXE, "--ca", ca / "ca.pem"], check_result=False)
    check("make release SIGN_CERT=… SIGN_KEY=… ships a signed file and records the unsigned SHA-256",
          result.returncode == 0 and again.returncode == 0 and info.get("signed") is True
          and info.get("unsigned_sha256") == sha256(dist / EXE)
          and f"{sha256(signed_dist / EXE)}  {EXE}" in (signed_dist / "SHA256SUMS").read_text(),
          result.stdout[-2000:] + again.stdout[-1000:])
    return signing, ca, other, tampered


def wine(prefix, *args):
    """The program's output goes through a file: a Wine process that the run
    starts (a service manager, say) may keep a pipe open long after it."""
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    with tempfile.TemporaryFile("w+") as output:
        result = subprocess.run([str(a) for a in (ROOT / "scripts" / "wine-run", *args)], env=env, text=True,
                                stdout=output, stderr=subprocess.STDOUT)
        output.seek(0)
        result.stdout = output.read()
    return result


def stop_wine(prefix):
    subprocess.run([ROOT / "scripts" / "stop-wineserver"], env=dict(os.environ, WINEPREFIX=str(prefix)))


def check_wine_trust(build_dir, signing, ca, other, tampered):
    """What Wine's trust provider says, with the test CA trusted in a prefix of its own."""
    prefix = signing.parent / "wine-prefix"
    # Only the CA tool: the stand-ins of the other tests play no part here.
    env = dict(os.environ, VALDRIX_FIXTURES_DIR=str(build_dir / "bin"), WINEDEBUG="-all")
    run([ROOT / "tools" / "prepare-wine-prefix", prefix, ca / "ca.der"], env=env)
    other_signed = signing / "other-signed.exe"
    run(["osslsigncode", "sign", "-certs", other / "signer.pem", "-key", other / "signer.key", "-h", "sha256",
         "-in", signing.parent / "a-dist" / EXE, "-out", other_signed])
    tool = build_dir / "bin" / "valdrix_verify_trust.exe"
    answers = {}
    for name, file in (("signed", signing / EXE), ("tampered", tampered), ("untrusted CA", other_signed),
                       ("unsigned", signing.parent / "a-dist" / EXE)):
        result = wine(prefix, tool, "Z:" + str(file).replace("/", "\\"))
        found = re.search(r"WinVerifyTrust (0x[0-9A-F]{8})", result.stdout)
        answers[name] = found.group(1) if found else result.stdout.strip()[-200:]
    print(f"    Wine's WinVerifyTrust: {answers}")
    # 0 trusted; TRUST_E_BAD_DIGEST; TRUST_E_NOSIGNATURE. Wine's provider
    # checks the digest but not the chain: a file signed under a CA that the
    # prefix does not trust comes back trusted as well, so the chain is
    # verify-signature's to check.
    expected = {"signed": "0x00000000", "tampered": "0x80096010", "unsigned": "0x800B0100"}
    check("Wine's WinVerifyTrust trusts the signed file, refuses a tampered byte and an unsigned file",
          {k: answers[k] for k in expected} == expected, f"{answers} != {expected}")
    if answers["untrusted CA"] == "0x00000000":
        print("    note: Wine's WinVerifyTrust also trusts a signature whose CA the prefix does not trust "
              "(Windows answers CERT_E_UNTRUSTEDROOT 0x800B0109)")


# --- symbols ------------------------------------------------------------------------

def check_symbols(build_dir, epoch, work):
    env = release_env(SOURCE_DATE_EPOCH=epoch)
    symbols = work / "symbols"
    shutil.rmtree(symbols, ignore_errors=True)
    symbols.mkdir()
    fixture = build_dir / "bin" / "report_fixture.exe"
    # Split as the release does: stripped executable, debug file beside it.
    shutil.copy(fixture, symbols / "report_fixture.linked.exe")
    debug = symbols / "report_fixture.exe.debug"
    run([f"{MINGW}-objcopy", "--only-keep-debug", symbols / "report_fixture.linked.exe", debug], env=env)
    run([f"{MINGW}-strip", "--strip-all", symbols / "report_fixture.linked.exe", "-o", symbols / "stripped.exe"])
    run([f"{MINGW}-objcopy", f"--add-gnu-debuglink={debug.name}", "stripped.exe", "report_fixture.exe"],
        cwd=symbols, env=env)
    database = symbols / "db"
    prefix = work / "wine-prefix"
    wine(prefix, symbols / "report_fixture.exe", "http://0123456789abcdef0123456789abcdef@localhost:9/42",
         "Z:" + str(database).replace("/", "\\"), "crash")
    dumps = sorted(database.glob("crash-C0000005-*.dmp")) if database.is_dir() else []
    if not check("the release-built fixture crashes and leaves a minidump", len(dumps) == 1,
                 sorted(os.listdir(database)) if database.is_dir() else "no database folder"):
        return
    dump = Minidump.read(dumps[0])
    module = dump.module_at(dump.exception_address)
    check("the exception is an access violation inside report_fixture.exe", dump.exception_code == 0xC0000005
          and module is not None and module.name.lower().endswith("report_fixture.exe"),
          (hex(dump.exception_code), module))
    if module is None:
        return
    shipped = PeFile.read(symbols / "report_fixture.exe")
    address = shipped.image_base + dump.exception_address - module.base
    resolved = run([f"{MINGW}-addr2line", "-f", "-C", "-e", debug, hex(address)]).stdout.split("\n")
    line = next(i + 1 for i, text in enumerate((ROOT / "tests/fixtures/report_fixture.cpp").read_text().splitlines())
                if "void Crash(" in text)
    print(f"    symbolicated frame: {module.name}+{dump.exception_address - module.base:#x} -> "
          f"{resolved[0]} at {resolved[1]}")
    check("the exception address resolves with the debug file to Crash and its line",
          "Crash" in resolved[0] and resolved[1].endswith(f"report_fixture.cpp:{line}"), resolved)
    if module.cv_record:
        guid, age, _ = shipped.build_id()
        check("the minidump's module record carries the build id",
              module.cv_record[:24] == b"RSDS" + guid + age.to_bytes(4, "little"), module.cv_record[:40])
    else:
        # Windows copies the CodeView record into the module list; Wine's
        # MiniDumpWriteDump leaves it empty for every module.
        print("    note: the minidump's module records carry no CodeView record (Wine writes none); "
              "the event's debug_meta carries the build id")
    event = json.loads(dumps[0].with_suffix(".json").read_text())
    images = event.get("debug_meta", {}).get("images", [])
    image = images[0] if images else {}
    check("the crash event names the module: code id, debug id, address, size, debug file",
          image.get("type") == "pe" and image.get("code_id") == shipped.code_id()
          and image.get("debug_id") == shipped.debug_id() and int(image.get("image_addr", "0"), 16) == module.base
          and image.get("image_size") == module.size and image.get("debug_file") == "report_fixture.exe.debug"
          and image.get("code_file", "").lower().endswith("report_fixture.exe"), images)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-build", default=str(ROOT / "build" / "host"))
    parser.add_argument("--work", default=str(ROOT / "build" / "release-check"))
    parser.add_argument("--reuse-clones", action="store_true",
                        help="check the clones a previous run made (and built) instead of new ones")
    options = parser.parse_args()
    work = Path(options.work).resolve()
    tool = Path(options.host_build).resolve() / "bin" / "valdrix-release"
    commit = run(["git", "-C", ROOT, "rev-parse", "HEAD"]).stdout.strip()
    if run(["git", "-C", ROOT, "status", "--porcelain"]).stdout.strip():
        print(f"note: checking commit {commit[:12]}; uncommitted changes are not part of it", flush=True)
    # Two clones at different depths, so that a path that leaks changes the bytes.
    first, second = work / "a", work / "elsewhere" / "b"
    if options.reuse_clones and first.is_dir() and second.is_dir():
        commit = run(["git", "-C", first, "rev-parse", "HEAD"]).stdout.strip()
        if run(["git", "-C", second, "rev-parse", "HEAD"]).stdout.strip() != commit:
            raise SystemExit("the clones are not of one commit")
        print(f"note: checking the existing clones of {commit[:12]}", flush=True)
        for leftover in ("refused", "signing", "symbols", "dist-signed", "a-dist"):
            shutil.rmtree(work / leftover, ignore_errors=True)
    else:
        shutil.rmtree(work, ignore_errors=True)
        clone(commit, first)
        clone(commit, second)
    make_keys(work / "keys")
    release = load_release_script()
    check_refusals(release, first, work)

    dists = []
    for folder in (first, second):
        started, cpu = time.monotonic(), resource.getrusage(resource.RUSAGE_CHILDREN)
        result = run([folder / "scripts" / "release", "--dist", folder / "dist"], env=release_env(),
                     check_result=False)
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        if not check(f"make release in {folder.relative_to(work)}", result.returncode == 0, result.stdout[-3000:]):
            break
        print(f"    built without the compiler cache in {time.monotonic() - started:.0f} s, "
              f"{used.ru_utime + used.ru_stime - cpu.ru_utime - cpu.ru_stime:.0f} CPU s", flush=True)
        dists.append(folder / "dist")
    if len(dists) == 2:
        sums = [sha256(d / EXE) for d in dists]
        print(f"    SHA-256 of {EXE}: {sums[0]} ({dists[0].parent.relative_to(work)}), "
              f"{sums[1]} ({dists[1].parent.relative_to(work)})")
        check("two builds in different folders give the same executable", sums[0] == sums[1])
        check("and the same debug file", sha256(dists[0] / (EXE + ".debug")) == sha256(dists[1] / (EXE + ".debug")))
        shutil.copytree(dists[0], work / "a-dist")
        check_shipped(dists[0], first, commit)
        check_no_build_path(dists[0], first)

    build_dir = first / "build" / "release"
    epoch = run(["git", "-C", first, "log", "-1", "--format=%ct"]).stdout.strip()
    if dists:
        fixtures = run(["cmake", "--build", build_dir, "--target", "report_fixture", "valdrix_verify_trust",
                        "valdrix_trust_ca", "-j", os.environ.get("JOBS", "2")],
                       env=release_env(SOURCE_DATE_EPOCH=epoch), check_result=False)
        check("the crash fixture and the trust tools build with the release flags", fixtures.returncode == 0,
              fixtures.stdout[-3000:])
        if check(f"valdrix-release is built ({tool})", tool.exists(), "build the host target valdrix-release"):
            signing, ca, other, tampered = check_signing(tool, work / "a-dist", first, work)
            if fixtures.returncode == 0:
                check_wine_trust(build_dir, signing, ca, other, tampered)
        if fixtures.returncode == 0:
            check_symbols(build_dir, epoch, work)
        # Its service manager would keep the prefix's server alive for good.
        stop_wine(work / "wine-prefix")

    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
