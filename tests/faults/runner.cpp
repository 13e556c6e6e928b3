// SPDX-License-Identifier: MIT
#include "runner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace faults {

std::string work, tools, self;
bool verbose = false;
Totals totals;

namespace {

// The store before every case: distinct bytes everywhere, the boot target
// word "system", the address 192.168.1.10 and a scheme that is not AB.
std::string old_window(bool with_address)
{
    std::string w(512, '\0');
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<char>(i * 7 + 1);
    w.replace(9, 8, std::string("system\0\0", 8));
    w.replace(17, 4, with_address ? "\xc0\xa8\x01\x0a" : std::string("\0\1\2\3", 4));
    w.replace(29, 3, std::string("xy\0", 3));
    return w;
}

} // namespace

sim::Board fresh_board(const Setup &s)
{
    std::error_code ec;
    fs::remove_all(work + "/b", ec);
    sim::Layout l;
    l.medium = s.medium;
    l.attached = !s.detached;
    l.static_volume = s.static_volume;
    l.window = old_window(s.with_address);
    sim::Board b = sim::make(work + "/b", l);
    b.put("tmp/ip_ip", "stale");
    return b;
}

Tree snapshot(const sim::Board &b)
{
    Tree t;
    std::error_code ec;
    for (fs::recursive_directory_iterator i(b.root, ec), end; !ec && i != end; i.increment(ec)) {
        const std::string rel = i->path().string().substr(b.root.size() + 1);
        const fs::file_type type = i->symlink_status().type();
        if (type == fs::file_type::regular)
            t[rel] = b.get(rel);
        else if (type == fs::file_type::symlink)
            t[rel] = "link to " + fs::read_symlink(i->path(), ec).string();
        else
            t[rel] = "kind " + std::to_string(static_cast<int>(type));
    }
    return t;
}

std::vector<std::string> written_outside(const Tree &before, const Tree &after, const std::string &store, const std::string &also)
{
    auto allowed = [&](const std::string &rel) {
        return rel == store || rel == also || rel == "tmp/ip_ip" || rel == "requests.log" || rel == "faults.log" ||
               rel.starts_with("fail") || rel.starts_with("short") || rel.starts_with("cut");
    };
    std::vector<std::string> bad;
    for (const auto &[rel, content] : after)
        if (!allowed(rel) && (!before.contains(rel) || before.at(rel) != content))
            bad.push_back(rel);
    for (const auto &[rel, content] : before)
        if (!allowed(rel) && !after.contains(rel))
            bad.push_back(rel);
    return bad;
}

std::string slurp(const std::string &path)
{
    sim::Board f{"", ""};
    return f.get(path);
}

// Spawned, not forked, so that a large (sanitizer) parent costs nothing per run.
Run spawn(const sim::Board &b, const std::vector<std::string> &args, const std::string &path_prefix, int seconds, int closed)
{
    const std::string out = work + "/out", err = work + "/err", res = work + "/result";
    remove(res.c_str());
    std::vector<std::string> env{"VEEPROM_ROOT=" + b.root};
    for (char **e = environ; *e != nullptr; ++e)
        if (!std::string_view(*e).starts_with("VEEPROM_ROOT="))
            env.emplace_back(std::string_view(*e).starts_with("PATH=") && !path_prefix.empty() ? "PATH=" + path_prefix + ":" + (*e + 5) : *e);
    std::vector<char *> argv, envp;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (closed >= 0)
        posix_spawn_file_actions_addclose(&fa, closed);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fprintf(stderr, "veeprom-faults: %s: %s\n", argv[0], strerror(rc));
        exit(2);
    }
    Run r;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd >= 0 && poll(&p, 1, seconds * 1000) == 0) {
        kill(pid, SIGKILL);
        r.hung = true;
    }
    if (pidfd >= 0)
        close(pidfd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + r.signal;
    r.out = slurp(out);
    r.err = slurp(err);
    r.faults = b.get("faults.log");
    r.result = slurp(res);
    return r;
}

Run run_tool(const sim::Board &b, const std::string &tool, std::vector<std::string> args, const std::string &path_prefix, int seconds,
             int closed)
{
    args.insert(args.begin(), tools + "/" + tool);
    return spawn(b, args, path_prefix, seconds, closed);
}

Run run_target(const sim::Board &b, const Target &t)
{
    if (t.op != Lib::none)
        return spawn(b, {self, work, tools, "--lib", std::to_string(static_cast<int>(t.op))});
    return run_tool(b, t.tool, t.args);
}

Case run_case(const Target &t, const Setup &s, const char *switch_file, long k)
{
    Case c{fresh_board(s), "", {}, {}};
    c.old = c.board.image();
    c.before = snapshot(c.board);
    if (switch_file != nullptr)
        c.board.put(switch_file, std::to_string(k));
    c.run = run_target(c.board, t);
    return c;
}

} // namespace faults
