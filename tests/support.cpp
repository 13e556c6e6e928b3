#include "support.h"

#include "board.h"
#include "seam.h"
#include "state.h"

#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

void BoardTest::SetUp()
{
    char tmpl[] = "/tmp/veeprom-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
}

void BoardTest::TearDown()
{
    veeprom::forget();
    unsetenv("VEEPROM_ROOT");
    nftw(dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
}

sim::Board BoardTest::board(const sim::Layout &layout, const std::string &name)
{
    sim::Board b = sim::make(dir + "/" + name, layout);
    setenv("VEEPROM_ROOT", b.root.c_str(), 1);
    board::sim_reset();
    veeprom::forget();
    return b;
}

sim::Layout layout_for(sim::Medium m)
{
    sim::Layout s;
    s.medium = m;
    return s;
}

std::string bytes(const sim::Board &b, size_t at, size_t n) { return b.image().substr(at, n); }

void poke(const sim::Board &b, size_t at, const std::string &data)
{
    std::string img = b.image();
    img.replace(at, data.size(), data);
    b.put(b.store, img);
}

testing::AssertionResult same(const std::string &got, const std::string &want)
{
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    if (i == got.size() && i == want.size())
        return testing::AssertionSuccess();
    auto at = [&](const std::string &s) { return i < s.size() ? std::to_string(static_cast<unsigned char>(s[i])) : "end"; };
    return testing::AssertionFailure() << "bytes differ at " << i << ": " << at(got) << " instead of " << at(want)
                                       << " (sizes " << got.size() << ", " << want.size() << ")";
}

std::string write_request(sim::Medium m)
{
    return m == sim::Medium::ubi ? "UBI_IOCEBCH lnum=0 bytes=2048\n" : m == sim::Medium::mtd ? "MEMERASE start=0 length=65536\n" : "";
}

Outcome run(const std::string &exe, const std::vector<std::string> &args, const std::string &root, const std::string &path_prefix)
{
    const std::string out = root + "/.out", err = root + "/.err";
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv{const_cast<char *>(exe.c_str())};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        setenv("VEEPROM_ROOT", root.c_str(), 1);
        if (!path_prefix.empty())
            setenv("PATH", (path_prefix + ":" + getenv("PATH")).c_str(), 1);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    sim::Board b{root, ""};
    Outcome r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), b.get(".out"), b.get(".err")};
    remove(out.c_str());
    remove(err.c_str());
    return r;
}
