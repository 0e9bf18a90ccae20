// What the Python suite cannot reach: levels outside the four in use, and the
// log hammered by many threads at once on both streams.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/console_log.h"

namespace {

const std::regex
    LINE_PATTERN(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(INFO|WARN|ERROR|SUCCESS)\] (.*))");

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

struct Captured {
    std::string out;
    std::string err;
};

template <typename Body> Captured capture(Body body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    Captured captured;
    captured.out = testing::internal::GetCapturedStdout();
    captured.err = testing::internal::GetCapturedStderr();
    return captured;
}

} // namespace

TEST(ConsoleLog, LevelsPickNameAndStream) {
    struct Case {
        LogLevel level;
        const char* name;
        bool on_stderr;
    };
    const Case cases[] = {{0, "INFO", false},    {1, "WARN", false}, {2, "ERROR", true},
                          {3, "SUCCESS", false}, {7, "INFO", false}, {-1, "INFO", false}};
    for (const Case& c : cases) {
        const Captured captured = capture([&] { log_message(c.level, "hello"); });
        const std::string& line = c.on_stderr ? captured.err : captured.out;
        const std::string& other = c.on_stderr ? captured.out : captured.err;
        EXPECT_TRUE(other.empty()) << "level " << c.level;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(\[[^\]]{19}\] \[(\w+)\] hello\n)")))
            << "level " << c.level << ": " << line;
        EXPECT_EQ(match[1], c.name) << "level " << c.level;
    }
}

TEST(ConsoleLog, MessageIsWrittenUnchanged) {
    const std::string long_message(1 << 20, 'x');
    const Captured captured = capture([&] {
        log_message(LOG_WARN, "");
        log_message(LOG_WARN, "first\nsecond\tend");
        log_message(LOG_WARN, long_message);
        log_message(LOG_WARN, std::string("nul\0inside", 10));
    });
    const std::vector<std::string> lines = split_lines(captured.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].substr(21), " [WARN] ");
    EXPECT_EQ(lines[1].substr(21), " [WARN] first");
    EXPECT_EQ(lines[2], "second\tend");
    EXPECT_EQ(lines[3].substr(29), long_message);
    EXPECT_EQ(lines[4].substr(29), std::string("nul\0inside", 10));
}

TEST(ConsoleLog, ConcurrentLinesStayWhole) {
    constexpr int THREADS = 8;
    constexpr int LINES_PER_THREAD = 2000;
    const Captured captured = capture([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([t] {
                // Long messages make a torn line likely if the lock were missing.
                const std::string body(300, static_cast<char>('a' + t));
                for (int i = 0; i < LINES_PER_THREAD; ++i)
                    log_message(i % 2 ? LOG_ERROR : LOG_INFO, std::to_string(t) + ":" + body);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    });
    for (const std::string* stream : {&captured.out, &captured.err}) {
        const std::vector<std::string> lines = split_lines(*stream);
        ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES_PER_THREAD / 2));
        std::vector<int> per_thread(THREADS, 0);
        for (const std::string& line : lines) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, LINE_PATTERN)) << line.substr(0, 80);
            const std::string message = match[2];
            const int t = message[0] - '0';
            ASSERT_GE(t, 0);
            ASSERT_LT(t, THREADS);
            ASSERT_EQ(message,
                      std::to_string(t) + ":" + std::string(300, static_cast<char>('a' + t)));
            ++per_thread[t];
        }
        for (int count : per_thread)
            EXPECT_EQ(count, LINES_PER_THREAD / 2);
    }
}
