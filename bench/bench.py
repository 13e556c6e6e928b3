# SPDX-License-Identifier: MIT
"""Cost of each tool command and footprint of the board build; see bench/run.

The tools are measured as a dev-style host build (build/bench: MinSizeRel with
the simulated-board hooks) on boards made by veeprom-sim on a RAM file system.
The hooks make calls a board never sees (reading fail/ and cut/ switches, and
standing in for each kernel request with file writes); they are counted apart,
and each stood-in request counts as the one ioctl it replaces.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(TOP, "build", "bench")
BOARD = os.path.join(TOP, "build", "board")
SIM = os.path.join(HOST, "sim", "veeprom-sim")
SIZE_LIMIT = 15104  # 14.75 KiB: text + data + bss of each aarch64 tool (the mutex, the bounded waits and the atomic address file cost about 1.2 KiB over the former 12 KiB, the signal hold the next half KiB, the static volume's signal hold its last bytes)
SIZE_LIMITS = {"veeprom": 33 * 1024}  # every field, the settings file, the images written whole, the maintenance operations, the access modes, strict JSON, store images and dumps off the board, the file lock and the read-back check
TIME_LIMIT = 1.5        # wall time against the start-and-exit program
ROUNDS = 100            # timed runs of each command
PEER_ENV_SIZE = 0x2000
ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}


def sh(*argv, **kw):
    p = subprocess.run(argv, capture_output=True, text=True, **kw)
    if p.returncode != 0:
        sys.exit(f"bench: {' '.join(argv)} failed ({p.returncode}):\n{p.stdout}{p.stderr}")
    return p.stdout


# ---- the call sequence each command is defined to make ----------------------
# Tokens are "call:role", the role naming what the call works on (see
# Case.role); a stood-in kernel request appears as its request name.

# A stream is opened without waiting (a planted FIFO cannot block it), then
# taken by fdopen, which checks the descriptor's mode (fcntl).
def stream(role, reads="read:{r} "):  # unbuffered: one read of a few bytes
    return f"openat:{role} fcntl:{role} " + reads.format(r=role) + f"close:{role} "


PROBE = stream("probe") * 2  # board_id, boot_mode
# "." and ".." have no name file; a name file read to its end takes two reads.
LOOKUP = ("openat:mtddir (getdents64:mtddir |openat:mtdname (fcntl:mtdname read:mtdname read:mtdname "
          "close:mtdname )?)*close:mtddir ")
SYSTEM = ("rt_sigaction rt_sigaction rt_sigprocmask mmap rt_sigprocmask clone3 munmap rt_sigprocmask wait4 "
          "rt_sigaction rt_sigaction rt_sigprocmask ")
VOLUME = ("ubi", "attach")


# How each tool opens and flushes the store: the legacy tools read-write and
# sync() (after each volume call and at exit); veeprom's readers read-only
# with no flush, its writers the store's own fsync (none on raw flash, whose
# writes are on the flash when they return).
FLUSH = {"legacy": "sync ", "read": "", "write": "fsync:store "}


def store_open(mode):
    return "openat:store/ro " if mode == "read" else "openat:store "


def flush(m, mode):
    return "" if m == "mtd" and mode == "write" else FLUSH[mode]


def init(m, mode="legacy"):  # the empty remembered path fails to open, then discovery
    found = {"ubi": "access:store ",
             "attach": "access:store " + LOOKUP + "openat:ctrl UBI_IOCATT:ctrl close:ctrl ",
             "mtd": LOOKUP,
             "emmc": stream("disk", "lseek:{r} read:{r} ")}[m]
    return "openat:none " + PROBE + found + store_open(mode)


def read(m, reopen=False, mode="legacy"):
    if m in VOLUME:
        return PROBE + store_open(mode) * reopen + "flock:store lseek:store read:store " + flush(m, mode) + "close:store "
    return PROBE + "flock:store lseek:store read:store flock:store "


# On raw flash every signal is held back from the erase to the end of the
# write-back: a mask call on each side.
def write(m, reopen=False, mode="legacy"):
    if m in VOLUME:
        return (PROBE + store_open(mode) * reopen +
                "flock:store lseek:store read:store UBI_IOCEBCH:store write:store " + flush(m, mode) + "close:store ")
    erase = "rt_sigprocmask MEMERASE:store " if m == "mtd" else ""
    held = "rt_sigprocmask " if m == "mtd" else ""
    return PROBE + "flock:store lseek:store read:store " + erase + "lseek:store write:store " + held + "flock:store "


def leave(m, mode="legacy"):  # veeprom_exit: a volume call has closed the store already
    if m in VOLUME:
        return FLUSH["legacy"] if mode == "legacy" else ""
    return flush(m, mode) + "close:store "


# label, arguments, store set-up, exit status, writes, sequence
COMMANDS = [
    ("show", ["drask_bootcause"], "", 0, False, lambda m: init(m) + read(m) + leave(m)),
    ("set boot", ["drask_bootcause", "boot"], "", 0, True,
     lambda m: init(m) + write(m) + read(m, True) + leave(m)),
    # the scheme judged and the word stored in one read-modify-write: no
    # other writer comes in between
    ("recovery", ["drask_bootcause", "recovery"], "", 0, True,
     lambda m: init(m) + write(m) + read(m, True) + leave(m)),
    ("recovery, AB", ["drask_bootcause", "recovery"], "ab", 255, False, lambda m: init(m) + read(m)),
    ("get address", ["drask_netaddr", "g"], "addr", 0, False,
     lambda m: init(m) + SYSTEM + read(m) + "openat:ipfile write:ipfile close:ipfile rename:ipfile " + leave(m)),
    ("set address", ["drask_netaddr", "s", "192.168.1.10"], "", 0, True, lambda m: init(m) + write(m) + leave(m)),
    ("clear address", ["drask_netaddr", "c"], "addr", 0, True, lambda m: init(m) + write(m) + leave(m)),
    # one read gives every field; a set of any number of fields is one
    # read-modify-write, and only a read when nothing changes
    ("veeprom show", ["veeprom", "show"], "addr", 0, False, lambda m: init(m, "read") + read(m, mode="read") + leave(m, "read")),
    ("veeprom get", ["veeprom", "get", "address"], "addr", 0, False,
     lambda m: init(m, "read") + read(m, mode="read") + leave(m, "read")),
    ("veeprom set scheme AB", ["veeprom", "set", "scheme", "AB"], "", 0, True,
     lambda m: init(m, "write") + write(m, mode="write") + leave(m, "write")),
    ("veeprom set, 3 fields", ["veeprom", "set", "bootcause", "boot", "address", "10.0.0.7", "scheme", "AB"], "", 0, True,
     lambda m: init(m, "write") + write(m, mode="write") + leave(m, "write")),
    ("veeprom set, no change", ["veeprom", "set", "address", "192.168.1.10"], "addr", 0, False,
     lambda m: init(m, "write") + read(m, mode="write") + leave(m, "write")),
]
PATCHES = {"ab": (29, b"AB\0"), "addr": (17, bytes([192, 168, 1, 10]))}
ROLES = [("fail/", "sim"), ("static-volume", "sim"), ("attached-meanwhile", "sim"), ("cut/", "sim"), ("short/", "sim"), ("signal/", "sim"), ("delay/", "sim"), ("skip/", "sim"), ("faults.log", "sim"), ("requests.log", "sim"), ("sys/class/socinfo/", "probe"),
         ("sys/class/mtd/", "mtdname"), ("dev/ubi_ctrl", "ctrl"), ("tmp/ip_ip", "ipfile")]


class Case:
    def __init__(self, label, medium, argv, root=None, store=None, status=0, writes=False, model=None):
        self.label, self.medium, self.argv, self.root, self.store = label, medium, argv, root, store
        self.status, self.writes, self.model = status, writes, model
        self.ours = model is not None
        self.env = dict(ENV, VEEPROM_ROOT=root) if self.ours else ENV
        self.image = None
        if store and os.path.exists(self.path(store)):
            with open(self.path(store), "rb") as f:
                self.image = f.read()

    def path(self, rel):
        return os.path.join(self.root, rel)

    def reset(self):  # the same store, and no trace of an earlier run
        if self.root is None:
            return
        if self.image is not None:
            with open(self.path(self.store), "wb") as f:
                f.write(self.image)
        for rel in ("requests.log", "tmp/ip_ip") + ((self.store,) if self.image is None else ()):
            if os.path.exists(self.path(rel)):
                os.remove(self.path(rel))

    def role(self, path):
        if path == "":
            return "none"
        if self.root is None or not path.startswith(self.root + "/"):
            return path
        rel = path[len(self.root) + 1:]
        if rel == self.store:
            return "store"
        if rel.rstrip("/") == "sys/class/mtd":
            return "mtddir"
        if rel == "dev/mmcblk0":
            return "disk"
        return next((r for prefix, r in ROLES if rel.startswith(prefix)), rel)


def make_board(base, medium, setup):
    root = tempfile.mkdtemp(dir=base)
    sh(SIM, "make", root, *(["ubi", "--detached"] if medium == "attach" else [medium]))
    with open(os.path.join(root, ".store")) as f:
        store = f.read().strip()
    if setup:
        at, data = PATCHES[setup]
        with open(os.path.join(root, store), "r+b") as f:
            f.seek(at)
            f.write(data)
    return root, store


def our_cases(base):
    cases = []
    for medium in ("ubi", "mtd", "emmc", "attach"):
        for label, args, setup, status, writes, model in COMMANDS[:1] if medium == "attach" else COMMANDS:
            root, store = make_board(base, medium, setup)
            argv = [os.path.join(HOST, "tools", args[0])] + args[1:]
            cases.append(Case(label + (", attaching UBI" if medium == "attach" else ""),
                              "ubi" if medium == "attach" else medium, argv, root, store, status, writes,
                              model(medium)))
    return cases


def peer_cases(base):
    root = os.path.join(base, "peer")
    os.makedirs(root)
    conf, defaults = os.path.join(root, "fw_env.config"), os.path.join(root, "defaults")
    with open(os.path.join(root, "env.img"), "wb") as f:
        f.write(b"\0" * PEER_ENV_SIZE)
    with open(conf, "w") as f:
        f.write(f"{root}/env.img 0x0 {PEER_ENV_SIZE:#x}\n")
    with open(defaults, "w") as f:
        f.write("bootcause=normal\nipaddr=192.168.1.10\nbootdelay=3\n")
    sh(shutil.which("fw_setenv"), "-c", conf, "-f", defaults, "bootcause", "normal")  # a valid environment
    medium = f"file {PEER_ENV_SIZE // 1024} KiB"
    return [Case("fw_printenv bootcause", medium, [shutil.which("fw_printenv"), "-c", conf, "bootcause"],
                 root, "env.img"),
            Case("fw_setenv bootcause boot", medium, [shutil.which("fw_setenv"), "-c", conf, "bootcause", "boot"],
                 root, "env.img", writes=True)]


# ---- measurements -------------------------------------------------------

LINE = re.compile(r"^(\d+) +(?:<\.\.\. (\w+) resumed>(.*)|(\w+)\((.*))$")
PATH_ARG = re.compile(r'(?:AT_FDCWD<[^>]*>, )?"((?:[^"\\]|\\.)*)"')
FD_ARG = re.compile(r"(\d+)<([^>]*)>")


def result(text):  # the call's result; a descriptor comes with its path
    m = re.match(r"-?(0x[0-9a-f]+|\d+)", text.rsplit(" = ", 1)[-1]) if " = " in text else None
    return int(m[0], 0) if m else None


def trace(case, work):
    case.reset()
    out = os.path.join(work, "trace")
    p = subprocess.run(["strace", "-f", "-y", "-qq", "-o", out, "--", *case.argv], env=case.env,
                       capture_output=True)
    calls, pending = [], {}
    with open(out) as f:
        for line in f:
            m = LINE.match(line.rstrip("\n"))
            if not m:
                continue  # signals
            pid = int(m[1])
            if m[2]:
                if pid in pending:
                    pending.pop(pid)[3] = result(m[3])
                continue
            call = [pid, m[4], m[5], result(m[5])]
            if m[5].endswith("<unfinished ...>"):
                pending[pid] = call
            calls.append(call)
    return p.returncode, calls


def classify(case, calls):
    """Splits one run's calls into start-up and exit, the tool's, the simulated
    board's and the shell's, and renders the tool's as the sequence tokens."""
    def role(args):
        m = PATH_ARG.match(args)
        if m:
            return case.role(m[1])
        m = FD_ARG.match(args)
        return None if not m else "out" if m[1] in ("1", "2") else case.role(m[2])

    mine = [c for c in calls if c[0] == calls[0][0]]
    loaded = next(i for i, c in enumerate(mine) if c[1] == "munmap") + 1  # the loader drops its cache last
    start = [c[1] for c in mine[:loaded]] + [c[1] for c in mine if c[1] == "exit_group"]
    body = [c for c in mine[loaded:] if c[1] != "exit_group"]
    requests = []
    if case.ours and os.path.exists(case.path("requests.log")):
        with open(case.path("requests.log")) as f:
            requests = [line.split()[0] for line in f]
    pending_requests = iter(requests)
    r = dict(start=start, tool=0, sim=0, shell=len(calls) - len(mine), read=0, written=0, tokens="",
             requests=requests)
    stand_in_fds, truncated = set(), False
    for i, (_, name, args, ret) in enumerate(body):
        what = role(args)
        fd = FD_ARG.match(args)
        made_node = name == "openat" and "O_CREAT" in args and what == "store"  # the attach's stand-in
        closed = name == "close" and fd is not None and int(fd[1]) in stand_in_fds
        sim = case.ours and (what == "sim" or name in ("pwrite64", "ftruncate") or (truncated and name == "lseek")
                             or made_node or closed)
        truncated = name == "ftruncate"
        if made_node and ret is not None and ret >= 0:
            stand_in_fds.add(ret)
        if closed:
            stand_in_fds.discard(int(fd[1]))
        if case.ours and name == "newfstatat" and what in ("store", "ctrl"):
            # The seam's fstat that finds a regular file: a kernel request
            # when the request is logged next, else part of its stand-in.
            sim = i + 1 == len(body) or role(body[i + 1][2]) != "sim"
            name = "ioctl" if sim else next(pending_requests, "ioctl")
        if sim:
            r["sim"] += 1
            continue
        r["tool"] += 1
        if what == "store" and ret is not None and ret > 0:
            r["read"] += ret if name in ("read", "pread64") else 0
            r["written"] += ret if name in ("write", "pwrite64") else 0
        if name == "openat" and what == "store" and "O_RDONLY" in args:
            what = "store/ro"  # a reader's open
        if what != "out" and name not in ("getrandom", "brk"):  # stdout and the heap's set-up: stdio's
            r["tokens"] += f"{name}:{what} " if what else f"{name} "
    return r


STDIO = re.compile(r"^(_IO_|__fopen|fopen|fdopen|setvbuf|puts|fputs|printf|fprintf|vfprintf|fwrite|fread|fseek)")


def heap(case, work):
    case.reset()
    out = os.path.join(work, "dhat.json")
    subprocess.run(["valgrind", "--tool=dhat", f"--dhat-out-file={out}", *case.argv], env=case.env,
                   capture_output=True)
    with open(out) as f:
        d = json.load(f)
    other = []
    for pp in d["pps"]:
        names = [m[1] for m in (re.match(r"0x[0-9A-Fa-f]+: (.*?) \(", d["ftbl"][i]) for i in pp["fs"]) if m]
        if not any(STDIO.match(n) for n in names):
            other.append(f"{pp['tb']} B from {' < '.join(names[1:3])}")
    return sum(p["tbk"] for p in d["pps"]), sum(p["tb"] for p in d["pps"]), other


def instructions(case):
    case.reset()
    p = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *case.argv],
                       env=case.env, capture_output=True, text=True)
    return int(re.search(r"Collected : (\d+)", p.stderr)[1])


def wall_times(cases):
    """Median wall time of each case, the cases taking turns so that the
    machine's drift falls on all of them alike."""
    times = {id(c): [] for c in cases}
    null = os.open(os.devnull, os.O_WRONLY)
    quiet = [(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)]
    for _ in range(ROUNDS):
        for c in cases:
            c.reset()
            t = time.perf_counter_ns()
            os.waitpid(os.posix_spawn(c.argv[0], c.argv, c.env, file_actions=quiet), 0)
            times[id(c)].append(time.perf_counter_ns() - t)
    os.close(null)
    return {k: statistics.median(v) for k, v in times.items()}


def footprint():
    rows = []
    for name in ("drask_bootcause", "drask_netaddr", "veeprom", "libveeprom.a"):
        f = os.path.join(BOARD, "lib/veeprom" if name.endswith(".a") else "tools", name)
        sizes = [list(map(int, line.split()[:3])) for line in sh("aarch64-linux-gnu-size", f).splitlines()[1:]]
        stripped = f + ".stripped"
        # The archive's objects also carry LTO code for the tools' link; a
        # client linking without LTO uses only their machine code.
        sh("aarch64-linux-gnu-strip", "--strip-unneeded", "-R", ".gnu.lto_*", "-R", ".gnu.debuglto_*", "-o", stripped, f)
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", sh("aarch64-linux-gnu-readelf", "-d", f)) if "." not in name else None
        rows.append((name, *map(sum, zip(*sizes)), os.path.getsize(f), os.path.getsize(stripped), needed))
        os.remove(stripped)
    return rows


def table(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for n, r in enumerate(rows):
        print("  ".join(str(v).ljust(w) if i < 2 else str(v).rjust(w) for i, (v, w) in enumerate(zip(r, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))


def main():
    quick = sys.argv[1:] == ["--quick"]
    if sys.argv[1:] not in ([], ["--quick"]):
        sys.exit("usage: bench/run [--quick]")
    sh("cmake", "-S", TOP, "-B", HOST, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DVEEPROM_SIM=ON",
       "-DVEEPROM_TESTS=OFF")
    sh("cmake", "--build", HOST, "--target", "drask_bootcause", "drask_netaddr", "veeprom_tool", "veeprom-sim")
    if not os.path.exists(os.path.join(TOP, "build", "board", "build.ninja")):  # the system test may be building it too
        sh("cmake", "--preset", "board", cwd=TOP)
    sh("cmake", "--build", "--preset", "board", cwd=TOP)
    reference = os.path.join(HOST, "start-and-exit")
    sh("gcc", "-O2", "-x", "c", "-o", reference, "-", input="int main(void) { return 0; }\n")

    base = tempfile.mkdtemp(prefix="veeprom-bench.", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        ref = Case("start-and-exit C program", "-", [reference])
        ours, peers = our_cases(base), peer_cases(base)
        cases = [ref] + ours + peers
        results = {}
        for c in cases:
            status, calls = trace(c, base)
            results[id(c)] = dict(classify(c, calls), status=status, heap=heap(c, base),
                                  instr=None if quick else instructions(c))
        walls = {} if quick else wall_times(cases)
        foot = footprint()
    finally:
        shutil.rmtree(base)

    res = lambda c: results[id(c)]
    unit = walls.get(id(ref))
    rows = [("command", "medium", "exit", "calls", "start", "tool", "sim", "shell", "store rd", "wr", "requests",
             "syncs", "heap", "instructions", "time")]
    for c in cases:
        r = res(c)
        rq = ", ".join(f"{r['requests'].count(k)} {k}" for k in dict.fromkeys(r["requests"])) or "-"
        rows.append((c.label, c.medium, r["status"], len(r["start"]) + r["tool"], len(r["start"]), r["tool"],
                     r["sim"] if c.ours else "-", r["shell"] or "-", r["read"], r["written"], rq,
                     sum(r["tokens"].split(" ").count(s) for s in ("sync", "fsync:store", "fdatasync:store")),
                     f"{r['heap'][0]} / {r['heap'][1]} B", f"{r['instr']:,}" if r["instr"] else "-",
                     f"{walls[id(c)] / unit:.2f}x" if walls else "-"))
    print("Cost per command: host build with the simulated board (build/bench), boards on a RAM file system.")
    print("calls = start + tool, as on a board; start = loader and exit; sim = the simulated board's own calls;")
    print("syncs = sync() or fsync of the store; shell = the calls of the shell and rm that get runs;")
    print(f"time = median wall time of {ROUNDS} runs / start-and-exit's ({unit / 1000:.0f} us).\n" if walls else
          "instructions and time: left out by --quick.\n")
    table(rows)
    print("\nFootprint of the board build (aarch64; file sizes include the default 64 KiB segment alignment):\n")
    table([("file", "text", "data", "bss", "total", "file size", "stripped", "needs")] +
          [(n, t, d, b, t + d + b, fs, st, " ".join(nd) if nd is not None else "-") for n, t, d, b, fs, st, nd in foot])

    checks = []  # (met, target, detail)
    tools = [f for f in foot if f[-1] is not None]
    checks.append((all(f[-1] == ["libc.so.6"] for f in tools), "tools need only the C library",
                   "; ".join(f"{f[0]}: {' '.join(f[-1])}" for f in tools)))
    checks.append((all(sum(f[1:4]) <= SIZE_LIMITS.get(f[0], SIZE_LIMIT) for f in tools),
                   f"text+data+bss <= {SIZE_LIMIT} per tool, " + ", ".join(f"{n} {v}" for n, v in SIZE_LIMITS.items()),
                   "; ".join(f"{f[0]} {sum(f[1:4])}" for f in tools)))
    extra = [f"{c.label} ({c.medium}): {o}" for c in ours for o in res(c)["heap"][2]]
    checks.append((not extra, "no heap allocation beyond stdio's", "; ".join(extra[:3]) + (" ..." * (len(extra) > 3)) or
                   f"stdio only, at most {max(res(c)['heap'][1] for c in ours)} B"))
    wrong, shown = [], None
    for c in ours:
        r, name = res(c), f"{c.label} ({c.medium})"
        if r["start"] != res(ref)["start"]:
            wrong.append(f"{name} starts and exits unlike the C program: {' '.join(r['start'])}")
        if r["status"] != c.status:
            wrong.append(f"{name} exits {r['status']}, not {c.status}")
        if not re.fullmatch(c.model, r["tokens"]):
            wrong.append(f"{name} makes other calls" + ("" if shown else " (below)"))
            shown = shown or f"\n    {name} made:\n      {r['tokens']}\n    defined:\n      {c.model}"
    checks.append((not wrong, "system calls: the loader's and the defined sequence only", "; ".join(wrong) +
                   (shown or "") if wrong else f"{len(ours)} commands, {len(res(ref)['start'])} calls of start and exit"))
    print("\nTargets:")
    for met, target, detail in checks:
        print(f"  [{'met' if met else 'MISSED'}] {target}: {detail}")
    if walls:
        peer = {p.writes: walls[id(p)] for p in peers}
        slow = [f"{c.label} ({c.medium}) {walls[id(c)] / unit:.2f}x" for c in ours if walls[id(c)] > TIME_LIMIT * unit]
        behind = [f"{c.label} ({c.medium})" for c in ours if walls[id(c)] >= peer[c.writes]]
        print(f"  [{'met' if not slow else 'missed'}] wall time within {TIME_LIMIT}x start-and-exit "
              f"(reported, not enforced): {', '.join(slow) or 'all'}")
        print(f"  [{'met' if not behind else 'missed'}] wall time below the peer's (readers against fw_printenv, "
              f"writers against fw_setenv): {'not ' + ', '.join(behind) if behind else 'all'}")
        print("\nveeprom against the peer, wall time / start-and-exit's in this run:")
        for labels, p in ((("veeprom show", "veeprom get"), False), (("veeprom set scheme AB", "veeprom set, 3 fields"), True)):
            for label in labels:
                ratios = ", ".join(f"{c.medium} {walls[id(c)] / unit:.2f}x" for c in ours if c.label == label)
                print(f"  {label:<24} {ratios}")
            print(f"  {next(c.label for c in peers if c.writes == p):<24} {peer[p] / unit:.2f}x")
    sys.exit(0 if all(met for met, _, _ in checks) else 1)


if __name__ == "__main__":
    main()
