// Random command lines against an independent model of how the daemon reads its two
// numbers: the model and the real binary must agree on every one.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "harness.hpp"

namespace {

constexpr int cases = 1000;
constexpr size_t batch = 40;  // daemons alive at once

// What strtol in base 10 reads from the text, with values past the 64-bit range held at
// its bounds; written out by hand so that it shares nothing with the daemon.
int64_t model_read(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::string_view(" \t\n\v\f\r").find(text[i]) != std::string_view::npos) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const uint64_t limit = uint64_t{1} << 63;  // the magnitude of the most negative value
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    if (negative) {
        return value == limit ? INT64_MIN : -static_cast<int64_t>(value);
    }
    return value == limit ? INT64_MAX : static_cast<int64_t>(value);
}

int64_t model_count(const std::string& text) {
    return std::max<int64_t>(model_read(text), 0);
}

std::string random_argument(std::mt19937_64& random) {
    static const std::vector<std::string> blanks = {" ", "\t", "\n", "\v", "\f", "\r", "  "};
    static const std::vector<std::string> bounds = {
        "9223372036854775807",  "9223372036854775806",        "9223372036854775808",
        "18446744073709551616", "99999999999999999999999999", "0000000000000000000000001"};
    static const std::vector<std::string> junk = {
        "a",    "Z",    "x",    "e5", ".5", "0x1f",         "\xc3\xa9",
        "\xff", "\x80", "\xa0", "--", "+-", "\xe2\x80\x83", "_"};
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    std::string text;
    while (chance(20)) {
        text += pick(blanks);
    }
    if (chance(30)) {
        text += chance(50) ? "-" : "+";
    }
    if (chance(15)) {
        text += pick(bounds);
    } else if (chance(85)) {
        text += std::to_string(random() % 12);
    } else {
        for (int digits = static_cast<int>(random() % 22); digits > 0; --digits) {
            text += static_cast<char>('0' + random() % 10);
        }
    }
    while (chance(25)) {
        text += chance(50) ? pick(junk) : pick(blanks);
    }
    return text;
}

TEST(CommandLineModel, RandomArgumentsMatchTheModel) {
    std::mt19937_64 random(20261208);
    for (int done = 0; done < cases;) {
        std::vector<std::pair<std::string, std::string>> arguments;
        for (; arguments.size() < batch && done < cases; ++done) {
            arguments.emplace_back(random_argument(random), random_argument(random));
        }
        const auto daemons = harness::start_each(arguments, [](const auto& pair) {
            return harness::args({pair.first, pair.second});
        });
        for (size_t i = 0; i < daemons.size(); ++i) {
            const int64_t max = model_count(arguments[i].second);
            const int64_t launched = model_count(arguments[i].first);
            const int64_t own = launched == INT64_MAX ? launched : launched + 1;
            SCOPED_TRACE("arguments " + testing::PrintToString(arguments[i]));
            const std::string expected =
                own > max ? harness::budget_line(std::to_string(max)) : harness::launch_line();
            EXPECT_EQ(daemons[i]->any(), expected);
        }
    }
}

}  // namespace
