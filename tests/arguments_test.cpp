// The command line as GNU tools take it: options anywhere before "--", "-" as an operand, and
// every mistake a usage line instead of a run.
#include "arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

argument_reading read(std::vector<const char*> typed) {
    typed.insert(typed.begin(), "rastmill");
    return read_arguments(static_cast<int>(typed.size()), typed.data());
}

TEST(Arguments, ActionsAndOperands) {
    using a = argument_action;
    struct {
        std::vector<const char*> typed;
        argument_action action;
        std::vector<std::string> operands;
    } const cases[] = {
        {{"float", "in.asc", "out.bin"}, a::run, {"float", "in.asc", "out.bin"}},
        {{"float", "--hdr", "in.asc", "--round", "out.bin"},
         a::run,
         {"float", "in.asc", "out.bin"}},
        {{"float", "-", "-"}, a::run, {"float", "-", "-"}},
        {{"--", "float", "-x.asc", "--hdr"}, a::run, {"float", "-x.asc", "--hdr"}},
        {{"float", "in.asc"}, a::usage, {"float", "in.asc"}},
        {{"float", "a.asc", "b.asc", "c.bin"}, a::usage, {"float", "a.asc", "b.asc", "c.bin"}},
        {{"float", "in.asc", "out.bin", "--like"}, a::usage, {"float", "in.asc", "out.bin"}},
        {{"--help", "float"}, a::help, {"float"}},
        {{"float", "-h", "x", "y", "z"}, a::help, {"float", "x", "y", "z"}},
        {{"--version"}, a::version, {}},
        {{"--version", "float", "a", "b"}, a::usage, {"float", "a", "b"}},
        {{}, a::usage, {}},
        // An unknown option ends the reading, even before --help.
        {{"--bogus", "--help"}, a::usage, {}},
    };
    for (const auto& c : cases) {
        const argument_reading r = read(c.typed);
        EXPECT_EQ(r.action, c.action) << testing::PrintToString(c.typed);
        EXPECT_EQ(r.args.operands, c.operands) << testing::PrintToString(c.typed);
    }
    EXPECT_EQ(read({"--bogus", "--help"}).unknown_option, "--bogus");
    EXPECT_EQ(read({"-x"}).unknown_option, "-x");
}

TEST(Arguments, OptionValues) {
    const argument_reading r = read({"--like=t.asc", "--nodata", "-9999", "--from", "float",
                                     "--strict", "ascii", "o.bin", "o.asc"});
    ASSERT_EQ(r.action, argument_action::run);
    EXPECT_EQ(r.args.like, "t.asc");
    EXPECT_EQ(r.args.from, "float");
    EXPECT_TRUE(r.args.raw);
    EXPECT_EQ(r.args.nodata, "-9999");  // a value, though it begins with '-'
    EXPECT_TRUE(r.args.map_nodata);
    EXPECT_TRUE(r.args.strict);
    EXPECT_FALSE(r.args.sidecar);
    EXPECT_FALSE(r.args.round);
    EXPECT_EQ(r.args.operands, (std::vector<std::string>{"ascii", "o.bin", "o.asc"}));
    EXPECT_TRUE(read({"float", "--nodata=", "a", "b"}).args.map_nodata);
    EXPECT_FALSE(read({"float", "in.asc", "out.bin"}).args.raw);
}

}  // namespace
