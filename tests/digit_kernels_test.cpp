#include "digit_kernels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "failure.h"

namespace {

// The whole suite runs on the kernels RASTMILL_KERNELS names, as the program does (the tests that
// start the program pass it on).
const bool KERNELS_FROM_ENVIRONMENT = [] {
    const char* name = std::getenv("RASTMILL_KERNELS");
    if (name == nullptr || *name == '\0') return false;
    if (const failure f = set_kernels(name); f.failed()) {
        std::fprintf(stderr, "%s %s\nhint: %s\n", f.message.c_str(), f.detail.c_str(),
                     f.hint.c_str());
        std::exit(1);
    }
    return true;
}();

// Names as RASTMILL_KERNELS gives them: those this CPU runs in any case; every other one refused
// with the name and a hint naming those it runs, the active one kept.
TEST(DigitKernels, ChosenByName) {
    const std::string best = active_kernels().name;
    const std::string runnable = runnable_kernel_names();
    EXPECT_EQ(std::string(runnable_kernels().front()->name), "portable");
    if (!KERNELS_FROM_ENVIRONMENT) {  // by default, the last
        EXPECT_EQ(std::string(runnable_kernels().back()->name), best);
    }
    for (const digit_kernels* kernels : runnable_kernels()) {
        std::string upper = kernels->name;
        for (char& c : upper)
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        for (const std::string& name : {std::string(kernels->name), upper}) {
            EXPECT_FALSE(set_kernels(name).failed()) << name;
            EXPECT_EQ(active_kernels().name, kernels->name) << name;
        }
    }
    ASSERT_FALSE(set_kernels(best).failed());
    struct {
        const char* name;
        const char* message;
    } const refused[] = {
        {"", MSG_UNKNOWN_KERNELS},          {"neon2", MSG_UNKNOWN_KERNELS},
        {"avx", MSG_UNKNOWN_KERNELS},       {" portable", MSG_UNKNOWN_KERNELS},
        {"portable ", MSG_UNKNOWN_KERNELS}, {"sse2", MSG_UNKNOWN_KERNELS},
    };
    for (const auto& r : refused) {
        const failure f = set_kernels(r.name);
        EXPECT_EQ(f.message, r.message) << r.name;
        EXPECT_EQ(f.detail, r.name);
        EXPECT_EQ(f.hint, "this CPU runs " + runnable) << r.name;
        EXPECT_EQ(active_kernels().name, best) << r.name;
    }
}

}  // namespace
