// The command line, the launch count and MAX: what each argument vector prints and how the
// daemon ends. Every row starts its own daemon, all at once.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "harness.hpp"

using harness::Daemon;

namespace {

constexpr const char* runs = "";  // the row's daemon starts serving

struct Row {
    std::vector<std::string> arguments;  // after the program's path
    std::string max_reached;             // the number in the MAX message, or runs
};

TEST(CommandLine, WrongArgumentCountsPrintUsage) {
    const std::vector<std::vector<std::string>> vectors = {
        {}, {"0"}, {"0", "5", "extra"}, {"0", "5", "x", "y"}};
    const auto daemons =
        harness::start_each(vectors, [](const auto& arguments) { return harness::spawn_of(arguments); });
    for (const auto& daemon : daemons) {
        EXPECT_EQ(daemon->err(), "[!] Initialize the daemon properly: " + harness::daemon_path() + " 0 MAX");
        EXPECT_EQ(daemon->wait_status(), 1 << 8);
        EXPECT_EQ(daemon->out(0), "<timeout>");
        EXPECT_EQ(daemon->err(0), "<timeout>");
    }

    // However long the program's name, its line is printed whole.
    harness::Spawn long_name = harness::spawn_of({});
    long_name.argv[0] = "/" + std::string(5000, 'n');
    Daemon whole(long_name);
    EXPECT_EQ(whole.err(), "[!] Initialize the daemon properly: " + long_name.argv[0] + " 0 MAX");
    EXPECT_EQ(whole.wait_status(), 1 << 8);

    // An empty argument vector gives no name (older kernels) or an empty one (5.18 on);
    // the line names the program either way.
    harness::Spawn empty;
    Daemon nameless(empty);
    EXPECT_EQ(nameless.err(), "[!] Initialize the daemon properly: echo-daemon 0 MAX");
    EXPECT_EQ(nameless.wait_status(), 1 << 8);

    // A console whose reader left before the first line: the usage line is lost, and the
    // daemon still ends with its own status instead of dying of SIGPIPE.
    harness::Spawn unread = harness::spawn_of({"0"});
    unread.console_read = 0;
    Daemon deaf(unread);
    EXPECT_EQ(deaf.wait_status(), 1 << 8);
}

// Counts are 64-bit on every architecture: a 32-bit build runs this table too.
const std::vector<Row> max_rows = {
    {{"0", "0"}, "0"},
    {{"0", "1"}, runs},
    {{"0", "-7"}, "0"},
    {{"3", "3"}, "3"},
    {{"2", "3"}, runs},
    {{"abc", "1"}, runs},
    {{"-4", "1"}, runs},
    {{" 12", "12"}, "12"},
    {{" 12", "13"}, runs},
    {{"3rd", "3"}, "3"},
    {{"3rd", "4"}, runs},
    {{"007", "7"}, "7"},
    {{"010", "10"}, "10"},  // decimal: a leading zero is no octal prefix
    {{"0x10", "1"}, runs},  // nor a leading 0x a hexadecimal one: "0x10" is 0
    {{"+007", "8"}, runs},
    {{"0", "2x"}, runs},
    {{"0", "x2"}, "0"},
    {{"0", "99999999999999999999"}, runs},
    {{"0", "-99999999999999999999"}, "0"},
    {{"9223372036854775806", "9223372036854775806"}, "9223372036854775806"},
    {{"9223372036854775807", "9223372036854775807"}, runs},
    {{"99999999999999999999", "9223372036854775807"}, runs},
    {{"5000000000", "4999999999"}, "4999999999"},
};

TEST(CommandLine, BudgetDecidesWhetherTheServiceStarts) {
    const std::vector<Row>& rows = max_rows;
    const auto daemons =
        harness::start_each(rows, [](const Row& row) { return harness::spawn_of(row.arguments); });
    for (size_t i = 0; i < rows.size(); ++i) {
        Daemon& daemon = *daemons[i];
        SCOPED_TRACE("arguments: '" + rows[i].arguments[0] + "' '" + rows[i].arguments[1] + "'");
        if (rows[i].max_reached == runs) {
            EXPECT_EQ(daemon.out(), harness::launch_line());
            EXPECT_EQ(daemon.out(), "[*] Listening on port 80");
            EXPECT_EQ(daemon.wait_status(0), -1);
        } else {
            EXPECT_EQ(daemon.err(), harness::max_reached_line(rows[i].max_reached));
            EXPECT_EQ(daemon.wait_status(), 1 << 8);
            EXPECT_EQ(daemon.out(0), "<timeout>");
            EXPECT_EQ(daemon.err(0), "<timeout>");
        }
    }
}

}  // namespace
