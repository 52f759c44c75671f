// Library identity: version numbers, build kind and licence notice.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "test_support.h"
#include "vanto_edit/license.h"
#include "vanto_edit/version.h"

namespace {

TEST(Version, PartsAndPackedNumberAgree) {
  EXPECT_EQ(vanto_version_major(), 0);
  EXPECT_EQ(vanto_version_minor(), 9);
  EXPECT_EQ(vanto_version_patch(), 63);
  EXPECT_EQ(vanto_version(), 589887);
  EXPECT_EQ(vanto_version(), (vanto_version_major() << 24) | (vanto_version_minor() << 16) |
                                 vanto_version_patch());
}

TEST(Version, BuildKindIsOneStaticText) {
  EXPECT_STREQ(vanto_libtype(), "shared");
  EXPECT_EQ(vanto_libtype(), vanto_libtype());
}

TEST(License, IsTheRepositoryLicenseFile) {
  const char *text = vanto_license_get();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text, vanto_license_get());
  const std::string notice(text);
  EXPECT_EQ(notice.rfind("Copyright (c) 2026 The vanto-edit authors\n", 0), 0u);
  ASSERT_FALSE(notice.empty());
  EXPECT_EQ(notice.back(), '\n');

  // This file lives in <repo>/tests; the LICENSE file at the repository root.
  const auto license_path = std::filesystem::path(__FILE__).parent_path().parent_path() / "LICENSE";
  ASSERT_TRUE(std::filesystem::exists(license_path)) << license_path;
  EXPECT_EQ(notice, vanto::test::read_file(license_path.string()));
}

TEST(Identity, ExportedUnderPlainNames) {
  for (const char *name : {"vanto_version", "vanto_version_major", "vanto_version_minor",
                           "vanto_version_patch", "vanto_libtype", "vanto_license_get"}) {
    EXPECT_NE(::dlsym(RTLD_DEFAULT, name), nullptr) << name;
  }
}

}  // namespace
