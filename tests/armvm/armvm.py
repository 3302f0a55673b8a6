#!/usr/bin/env python3
"""Runs an ARM build's test programs on one emulated ARMv7 core under Debian's armmp kernel.

qemu-arm runs each program as threads of the host, on all its cores, under the host's scheduler; a
panel has one core and its own kernel, where starvation and timing faults show. This boots
qemu-system-arm -M virt -smp 1 from an initramfs of busybox, the build's test programs and the C and
C++ runtimes of their Debian architecture, runs every CTest entry that the build runs under the
emulator, one at a time, and reads each result back from the serial console.

Usage: armvm.py --build DIR --emulator qemu-arm,-L,/ [--source DIR] [--debs DIR] [--timeout SECONDS]
"""

import argparse
import glob
import json
import os
import resource
import select
import shlex
import shutil
import subprocess
import sys
import time

MARK = "@@armvm@@"
HERE = os.path.dirname(os.path.abspath(__file__))
# The C library's converters: only the one the charset code and its tests use, and their index.
GCONV_KEEP = ("gconv-modules", "GB18030.so")


def fail(msg):
    print(f"armvm: {msg}", file=sys.stderr)
    sys.exit(1)


def one_deb(debs, pattern):
    found = sorted(glob.glob(os.path.join(debs, pattern)))
    if not found:
        fail(f"no {pattern} in {debs}: scripts/install-deps.sh fetches it")
    return found[-1]


def extract(deb, member, work):
    """One file of a Debian package, without installing it; kept for the next run."""
    dest = os.path.join(work, os.path.basename(deb))
    found = glob.glob(os.path.join(dest, member))
    if len(found) == 1:
        return found[0]
    os.makedirs(dest, exist_ok=True)
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", dest, "--wildcards", member], stdin=tar.stdout, check=True)
    if tar.wait() != 0:
        fail(f"cannot read {deb}")
    found = glob.glob(os.path.join(dest, member))
    if len(found) != 1:
        fail(f"{deb} has no single {member}")
    return found[0]


def vm_tests(build, emulator):
    """The CTest entries run under the emulator: name, folder, time limit, environment, command."""
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
                         capture_output=True, text=True).stdout
    tests = []
    for t in json.loads(out)["tests"]:
        cmd = t.get("command") or []
        n = len(emulator)
        if len(cmd) <= n or os.path.basename(cmd[0]) != os.path.basename(emulator[0]) or cmd[1:n] != emulator[1:]:
            continue  # a check on the host (exports, version text, rebuild), not a program for the target
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        # The longest program takes about 20 s in the VM: one that runs for minutes hangs.
        tests.append((t["name"], props.get("WORKING_DIRECTORY", build), min(int(props.get("TIMEOUT", 600)), 240),
                      props.get("ENVIRONMENT", []), cmd[n:]))
    if not tests:
        fail(f"no test of {build} runs under {emulator[0]}")
    return tests


def elf_arch(program):
    """armhf or armel, from the float calling convention in the program's ELF header."""
    head = subprocess.run(["readelf", "-h", program], check=True, capture_output=True, text=True).stdout
    if "Machine:" not in head or "ARM" not in head.split("Machine:")[1].splitlines()[0]:
        fail(f"{program} is not an ARM program")
    return "armhf" if "hard-float ABI" in head else "armel"


def copy_into(root, path):
    """path (file or symlink) at the same absolute place inside root."""
    dest = root + path
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    if os.path.lexists(dest):
        return
    if os.path.islink(path):
        os.symlink(os.readlink(path), dest)
    else:
        shutil.copy2(path, dest)


def needed(path):
    dyn = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    return [line.split("[", 1)[1].split("]", 1)[0] for line in dyn.splitlines() if "(NEEDED)" in line]


def make_root(root, build, source, arch, busybox, tests):
    if os.path.exists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    # The host's layout: /lib is /usr/lib, as on Debian 12.
    os.makedirs(root + "/usr/lib")
    os.symlink("usr/lib", root + "/lib")
    os.makedirs(root + "/bin")
    shutil.copy2(busybox, root + "/bin/busybox")
    shutil.copy2(os.path.join(HERE, "init"), root + "/init")
    # The runtimes qemu-arm -L / takes from the host's multiarch folders, the same files.
    dpkg = subprocess.run(["dpkg", "-L"] + [f"{p}:{arch}" for p in ("libc6", "libgcc-s1", "libstdc++6")],
                          capture_output=True, text=True)
    if dpkg.returncode != 0:
        fail(f"the {arch} runtimes are not installed (scripts/install-deps.sh): {dpkg.stderr.strip()}")
    listed = dpkg.stdout.split("\n")
    for path in listed:
        if not path.startswith("/lib") and not path.startswith("/usr/lib"):
            continue
        if "/gconv/" in path and os.path.basename(path) not in GCONV_KEEP and "/gconv-modules.d/" not in path:
            continue
        if os.path.isfile(path) or os.path.islink(path):
            copy_into(root, path)
    # The build's programs and libraries, and the sources' test data, where the programs look for them.
    programs = sorted({t[4][0] for t in tests})
    for path in programs + sorted(glob.glob(os.path.join(build, "lib", "*.so*"))):
        copy_into(root, os.path.abspath(path))
    shutil.copytree(os.path.join(source, "tests"), root + os.path.join(source, "tests"), symlinks=True,
                    dirs_exist_ok=True)
    # Each library a program needs must be there: the VM has no other place to find it.
    have = {name for _, dirs, files in os.walk(root) for name in dirs + files}
    for path in programs + glob.glob(os.path.join(root + build, "lib", "*.so*")):
        missing = [n for n in needed(path) if n not in have]
        if missing:
            fail(f"{path} needs {', '.join(missing)}, which no package copied in has")
    os.makedirs(root + "/armvm")
    with open(root + "/armvm/tests.sh", "w") as f:
        for name, wd, limit, env, cmd in tests:
            words = [name, wd, str(limit)] + (["env"] + env if env else []) + cmd
            f.write("run_test " + " ".join(shlex.quote(w) for w in words) + "\n")


def make_cpio(root, out):
    # Uncompressed: the emulated core would spend seconds inflating it at every boot.
    names = subprocess.run(["find", ".", "-mindepth", "1"], cwd=root, check=True, capture_output=True).stdout
    names = b"\n".join(sorted(names.split(b"\n"))).strip() + b"\n"
    with open(out, "wb") as f:
        subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root, input=names, stdout=f,
                       check=True)


def boot(kernel, initrd, log_path, timeout):
    cmd = ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-smp", "1", "-m", "512M",
           "-nographic", "-no-reboot", "-nic", "none", "-kernel", kernel, "-initrd", initrd,
           "-append", "console=ttyAMA0 loglevel=1 panic=-1 rdinit=/init"]
    lines = []
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    with open(log_path, "w", errors="replace") as log:
        vm = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        os.set_blocking(vm.stdout.fileno(), False)
        pending = b""
        timed_out = False
        while True:
            if time.monotonic() - start > timeout:
                vm.kill()
                timed_out = True
            select.select([vm.stdout], [], [], 1.0)
            chunk = vm.stdout.read() or b""
            if not chunk and vm.poll() is not None:
                break
            pending += chunk
            *done, pending = pending.split(b"\n")
            for raw in done:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                log.write(line + "\n")
                lines.append(line)
                if line.startswith(MARK):
                    print(line, flush=True)
        if pending:
            lines.append(pending.decode("utf-8", "replace"))
            log.write(lines[-1] + "\n")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return lines, vm.returncode, timed_out, time.monotonic() - start, cpu


def gtest_counts(block):
    """(passed, failed) cases as Google Test's summary lines give them."""
    passed = failed = 0
    for line in block:
        if line.startswith("[  PASSED  ]"):
            passed += int(line.split()[3])
        elif line.startswith("[  FAILED  ]") and line.split()[3].isdigit():
            failed += int(line.split()[3])
    return passed, failed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(HERE)))
    ap.add_argument("--emulator", required=True, help="CMAKE_CROSSCOMPILING_EMULATOR, comma-separated")
    ap.add_argument("--debs", default=os.environ.get("POLMON_ARMVM_DEBS", "/var/cache/polmon/armvm"))
    ap.add_argument("--timeout", type=int, default=600, help="seconds for the whole boot")
    args = ap.parse_args()
    build, source = os.path.abspath(args.build), os.path.abspath(args.source)
    for tool in ("qemu-system-arm", "cpio", "dpkg-deb", "readelf"):
        if not shutil.which(tool):
            fail(f"{tool} is missing: scripts/install-deps.sh installs it")

    began = time.monotonic()
    tests = vm_tests(build, args.emulator.split(","))
    arch = elf_arch(tests[0][4][0])
    work = os.path.join(build, "armvm")
    kernel = extract(one_deb(args.debs, "linux-image-*-armmp_*_armhf.deb"), "./boot/vmlinuz-*", work)
    busybox = extract(one_deb(args.debs, "busybox-static_*_armel.deb"), "./bin/busybox", work)
    made = time.monotonic()
    make_root(os.path.join(work, "root"), build, source, arch, busybox, tests)
    initrd = os.path.join(work, "initrd.cpio")
    make_cpio(os.path.join(work, "root"), initrd)
    made = time.monotonic() - made
    print(f"armvm: {len(tests)} programs of {arch}, initramfs {os.path.getsize(initrd) >> 20} MiB "
          f"in {made:.1f} s, kernel {os.path.basename(kernel)}", flush=True)

    log_path = os.path.join(work, "serial.log")
    lines, rc, timed_out, wall, cpu = boot(kernel, initrd, log_path, args.timeout)

    results, blocks, current = {}, {}, None
    final, booted = None, "?"
    for line in lines:
        if line.startswith(MARK + " boot "):
            booted = line.rsplit("uptime=", 1)[1]
        elif line.startswith(MARK + " start "):
            current = line.split()[2]
            blocks[current] = []
        elif line.startswith(MARK + " end "):
            words = line.split()
            results[words[2]] = dict(w.split("=", 1) for w in words[3:])
            current = None
        elif line.startswith(MARK + " done "):
            final = line
        elif current:
            blocks[current].append(line)

    bad = []
    cases = 0
    for name, *_ in tests:
        r = results.get(name)
        passed, failed = gtest_counts(blocks.get(name, []))
        cases += passed
        if r is None or r["rc"] != "0":
            bad.append(name)
            if name in blocks:  # the end of what it printed; the whole console is in serial.log
                print(f"---- {name} (rc={r['rc'] if r else 'none: it never finished'}) ----")
                print("\n".join(blocks[name][-200:]))
        print(f"armvm: {'ok  ' if name not in bad else 'FAIL'} {name}: {passed} passed, {failed} failed"
              + (f" in {r['seconds']} s" if r else "" if name in blocks else ", not started"))
    why = "timed out" if timed_out else None if final else f"the VM stopped (qemu rc={rc}) before the last program"
    if why:
        print(f"armvm: {why}; the console is in {log_path}")
    print(f"armvm: {arch} on one core: {len(tests) - len(bad)} of {len(tests)} programs, {cases} cases passed; "
          f"booted in {booted} s (guest clock); the VM {wall:.0f} s, {cpu:.0f} s of host CPU; "
          f"{time.monotonic() - began:.0f} s in all")
    sys.exit(1 if bad or why else 0)


if __name__ == "__main__":
    main()
