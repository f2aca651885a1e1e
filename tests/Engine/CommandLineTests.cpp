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

} // namespace

TEST(CommandLine, anOptionsValueIsTheArgumentAfterItsFirstOccurrenceTakenAsIs) {
    const QStringList arguments = line({"--out", "--no-mic", "--out", "second.m4a", "--record"});
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--out")), QStringLiteral("--no-mic"));
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--record")), std::nullopt) << "last argument";
    EXPECT_EQ(CommandLine::value(arguments, QStringLiteral("--cycles")), std::nullopt);
    EXPECT_TRUE(CommandLine::has(arguments, QStringLiteral("--no-mic")));
    EXPECT_FALSE(CommandLine::has(arguments, QStringLiteral("--NO-MIC"))) << "case-sensitive";
    EXPECT_FALSE(CommandLine::has(arguments, QStringLiteral("--no"))) << "whole arguments only";
    // The program path is searched too.
    EXPECT_EQ(
        CommandLine::value({QStringLiteral("--probe"), QStringLiteral("x.txt")}, QStringLiteral("--probe")),
        QStringLiteral("x.txt"));
}

TEST(CommandLine, recordSecondsFallBackToTen) {
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "2.5"})), 2.5);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "0"})), 0.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "--out", "x.m4a"})), 10.0)
        << "--out is not a number";
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "abc"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "inf"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "nan"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", " 3"})), 10.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "2e0"})), 2.0);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--record", "+1.5"})), 1.5);
    EXPECT_EQ(CommandLine::recordSeconds(line({"--out", "x.m4a"})), 10.0);
}

TEST(CommandLine, cyclesAreADecimalIntegerWithAnOptionalSign) {
    EXPECT_EQ(CommandLine::cycles(line({"--cycles", "3"})), 3);
    EXPECT_EQ(CommandLine::cycles(line({"--cycles", "+4"})), 4);
    EXPECT_EQ(CommandLine::cycles(line({"--cycles", "-1"})), -1);
    EXPECT_EQ(CommandLine::cycles(line({"--cycles", "0"})), 0);
    EXPECT_EQ(CommandLine::cycles(line({"--cycles", "010"})), 10) << "decimal, not octal";
    for (const char* invalid :
         {"abc", "", "3.0", "0x10", "2 ", " 2", "1e3", "+", "-", "+-2", "--2", "99999999999999999999"}) {
        EXPECT_EQ(CommandLine::cycles(line({"--cycles", invalid})), 1) << '"' << invalid << '"';
    }
    EXPECT_EQ(CommandLine::cycles(line({"--cycles"})), 1);
    EXPECT_EQ(CommandLine::cycles(line({})), 1);
}
