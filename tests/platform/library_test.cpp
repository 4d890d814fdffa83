// OpenLibrary and LibrarySymbol: what a user reads when a library a back-end
// opens on demand is missing or too old.
#include <gtest/gtest.h>

#include <string>

#include "gnss/platform/library.h"

namespace {

TEST(OpenLibrary, AMissingLibraryOrSymbolIsNamedWithThePackageToInstall) {
    std::string error;
    EXPECT_EQ(gnss::platform::OpenLibrary("libgnss-absent.so.7", "gnss-absent", error), nullptr);
    EXPECT_NE(error.find("cannot load libgnss-absent.so.7 (install the Debian package gnss-absent): "),
              std::string::npos)
        << error;

    error.clear();
    void* libc = gnss::platform::OpenLibrary("libc.so.6", "libc6", error);
    ASSERT_NE(libc, nullptr) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_NE(gnss::platform::LibrarySymbol(libc, "libc.so.6", "strlen", error), nullptr);
    EXPECT_EQ(gnss::platform::LibrarySymbol(libc, "libc.so.6", "gnss_absent_function", error), nullptr);
    EXPECT_NE(error.find("libc.so.6 lacks gnss_absent_function"), std::string::npos) << error;
}

}  // namespace
