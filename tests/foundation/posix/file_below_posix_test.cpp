// The confinement for kernels without openat2, tried directly: it reads back where the
// opened descriptor really is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "foundation/posix/file_below.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Whether relative opens below root by the fallback; the descriptor is closed again.
bool OpensByResolvedPath(const fs::path& root, const std::string& relative) {
    const int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return false;
    const int fd = OpenBelowByResolvedPath(rootFd, fs::canonical(root).string(), relative.c_str(),
                                           O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    close(rootFd);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

TEST(FileBelowFallback, FollowsLinksOnlyAsFarAsTheyStayBelowTheRoot) {
    CTempDir outside;
    outside.WriteFile("secret.txt", "SECRET");
    outside.WriteFile("rootling.txt", "beside, with a name that starts like the root's");
    const fs::path root = outside.Path() / "root";
    fs::create_directories(root / "sub");
    outside.WriteFile("root/a.txt", "hello");
    ASSERT_EQ(0, symlink("../secret.txt", (root / "up.txt").c_str()));
    ASSERT_EQ(0, symlink((outside.Path() / "secret.txt").c_str(), (root / "abs.txt").c_str()));
    ASSERT_EQ(0, symlink("../rootling.txt", (root / "prefix.txt").c_str()));
    ASSERT_EQ(0, symlink("..", (root / "parent").c_str()));
    ASSERT_EQ(0, symlink("../a.txt", (root / "sub" / "back.txt").c_str()));
    ASSERT_EQ(0, symlink((root / "a.txt").c_str(), (root / "absin.txt").c_str()));

    EXPECT_TRUE(OpensByResolvedPath(root, "a.txt"));
    EXPECT_TRUE(OpensByResolvedPath(root, "sub/back.txt"));
    // Checked on where the file is, an absolute link that stays inside is fine here.
    EXPECT_TRUE(OpensByResolvedPath(root, "absin.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, "up.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, "abs.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, "prefix.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, "parent/secret.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, "../secret.txt"));
    EXPECT_FALSE(OpensByResolvedPath(root, (outside.Path() / "secret.txt").string()));
    EXPECT_FALSE(OpensByResolvedPath(root, "missing.txt"));
}
