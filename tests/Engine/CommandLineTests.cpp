// How the program reads its arguments.
#include "Quillora/CommandLine/CommandLine.h"

#include <gtest/gtest.h>

namespace {

QStringList line(std::initializer_list<const char*> arguments) {
    QStringList list{QStringLiteral("/usr/bin/quillora")};
    for (const char* argument : arguments) {
        list << QString::fromUtf8(argument);
    }
    return list;
}

TEST(CommandLine, anOptionsValueIsTheArgumentAfterItsFirstOccurrenceTakenAsIs) {
    const QStringList arguments = line({"--out", "--no-mic", "--out", "second.m4a", "--record"});
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--out")), QStringLiteral("--no-mic"));
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--record")), std::nullopt) << "last argument";
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--cycles")), std::nullopt);
    EXPECT_TRUE(CommandLine::has(arguments, QStringLiteral("--no-mic")));
    EXPECT_FALSE(CommandLine::has(arguments, QStringLiteral("--NO-MIC"))) << "case-sensitive";
    EXPECT_FALSE(CommandLine::has(arguments, QStringLiteral("--no"))) << "whole arguments only";
}

TEST(CommandLine, numbersAreReadStrictlyAndFallBackToTheirDefaults) {
    const std::pair<const char*, double> seconds[] = {
        {"2.5", 2.5}, {"0", 0},    {"2e0", 2},  {"+1.5", 1.5}, {"--out", 10},
        {"abc", 10},  {"inf", 10}, {"nan", 10}, {" 3", 10},
    };
    for (const auto& [text, expected] : seconds) {
        EXPECT_EQ(CommandLine::recordSeconds(line({"--record", text})), expected) << '"' << text << '"';
    }
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--out", "x.m4a"})), 10.0);

    const std::pair<const char*, long long> cycles[] = {
        {"3", 3},    {"+4", 4},  {"-1", -1}, {"0", 0},
        {"010", 10}, {"abc", 1}, {"", 1},    {"3.0", 1},
        {"0x10", 1}, {"2 ", 1},  {" 2", 1},  {"1e3", 1},
        {"+", 1},    {"+-2", 1}, {"--2", 1}, {"99999999999999999999", 1},
    };
    for (const auto& [text, expected] : cycles) {
        EXPECT_EQ(CommandLine::cycles(line({"--cycles", text})), expected) << '"' << text << '"';
    }
    EXPECT_EQ(CommandLine::cycles(line({"--cycles"})), 1);
}

} // namespace
