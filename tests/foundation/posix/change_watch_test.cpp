// What CChangeWatch reports of the files and folders it watches.
#include "foundation/change_watch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "foundation/file.h"
#include "tests/support/temp_dir.h"

TEST(ChangeWatch, EveryChangeOnTheWayMovesTheGenerationAndLinkedWaysAreNotWatched) {
    CTempDir dir;
    std::filesystem::create_directory(dir.Path() / "sub");
    dir.WriteFile("sub/a.txt", "a");
    std::filesystem::create_directory_symlink("sub", dir.Path() / "link");
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CChangeWatch watch;
    ASSERT_TRUE(watch.IsValid());
    const std::function<void()> changes[] = {
        [&] { dir.WriteFile("sub/a.txt", "b"); },    // the file written
        [&] { dir.WriteFile("sub/new.txt", "n"); },  // a new name beside it
        [&] { std::filesystem::remove(dir.Path() / "sub/new.txt"); },
        [&] { dir.WriteFile("other.txt", "o"); },  // a new name in the root
        [&] { std::filesystem::rename(dir.Path() / "sub", dir.Path() / "moved"); },
    };
    for (const std::function<void()>& change : changes) {
        // Each round watches the file at its name anew, as a connection does after a change.
        std::filesystem::create_directory(dir.Path() / "sub");
        dir.WriteFile("sub/a.txt", "a");
        CFile file;
        ASSERT_TRUE(file.OpenBelow(folder, "sub/a.txt"));
        ASSERT_TRUE(watch.Watch(folder, "sub/a.txt", file));
        watch.TakeChanges();
        const uint64_t before = watch.GetGeneration();
        watch.TakeChanges();
        EXPECT_EQ(watch.GetGeneration(), before) << "nothing changed";
        change();
        watch.TakeChanges();
        EXPECT_GT(watch.GetGeneration(), before);
        std::filesystem::remove_all(dir.Path() / "moved");
    }
    // A link on the way could be turned elsewhere without a change to the file's folders.
    std::filesystem::create_directory(dir.Path() / "sub");
    dir.WriteFile("sub/a.txt", "a");
    CFile linked;
    ASSERT_TRUE(linked.OpenBelow(folder, "link/a.txt"));
    EXPECT_FALSE(watch.Watch(folder, "link/a.txt", linked));
}
