// SPDX-License-Identifier: MIT
// What every suite shares: a fresh simulated board per test, and running a
// built tool as a process on it.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include "simboard.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// Each test gets its own directory; board() lays a board out in it, points
// VEEPROM_ROOT at it and resets the library's process-wide state.
class BoardTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    sim::Board board(const sim::Layout &layout, const std::string &name = "b");
};

// Byte-string literals that may hold zero bytes: "ab\0c"_b.
inline std::string operator""_b(const char *s, size_t n) { return {s, n}; }

sim::Layout layout_for(sim::Medium m);
// The store's bytes from `at`, `n` of them.
std::string bytes(const sim::Board &b, size_t at, size_t n);
// Puts bytes into the store image at `at`.
void poke(const sim::Board &b, size_t at, const std::string &data);
// The request line one store write makes on this medium ("" on eMMC).
std::string write_request(sim::Medium m);

// Byte strings compared with the first difference reported, not a dump.
testing::AssertionResult same(const std::string &got, const std::string &want);

struct Outcome {
    int status;
    std::string out, err;
};
Outcome run(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
        const std::string &path_prefix = "");

#endif
