// Libraries opened while the program runs: a missing library or function is
// refused with its name, a present one is called.
#include "platform/sharedLibrary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SharedLibrary, OpensAndResolvesOrSaysWhyNot) {
    std::string why;
    SharedLibrary none;
    EXPECT_FALSE(none.isOpen());
    int (*fn)(int) = nullptr;
    EXPECT_FALSE(none.resolve(fn, "abs", why));
    EXPECT_NE(why.find("not loaded"), std::string::npos) << why;

    SharedLibrary missing;
    EXPECT_FALSE(missing.open("libnivra-absent.so.1", why));
    EXPECT_FALSE(missing.isOpen());
    EXPECT_NE(why.find("cannot load libnivra-absent.so.1"), std::string::npos) << why;

    SharedLibrary libm;
    ASSERT_TRUE(libm.open("libm.so.6", why)) << why;
    double (*floorFn)(double) = nullptr;
    ASSERT_TRUE(libm.resolve(floorFn, "floor", why)) << why;
    EXPECT_EQ(floorFn(2.75), 2.0);
    EXPECT_FALSE(libm.resolve(floorFn, "nivra_no_such_function", why));
    EXPECT_EQ(floorFn, nullptr);
    EXPECT_NE(why.find("nivra_no_such_function in libm.so.6"), std::string::npos) << why;
}

} // namespace
