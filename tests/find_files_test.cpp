// File enumeration on a search pattern, as the Windows calls do it: run against the stand-in on Linux and against
// the real calls under Wine, so both are held to the same matching.
#include "NativePath.h"
#include "TestSupport.h"

#include <windows.h>

#include <fstream>
#include <set>

namespace {

// Names (files and folders apart) that FindFirstFileA/FindNextFileA list for `pattern`, or the error of a failed
// FindFirstFileA.
struct Listing {
    std::set<std::string> files;
    std::set<std::string> folders;
    DWORD firstError = 0;
};

Listing list(const std::string& pattern) {
    Listing listing;
    WIN32_FIND_DATAA data;
    SetLastError(0);
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        listing.firstError = GetLastError();
        return listing;
    }
    do {
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? listing.folders : listing.files).insert(data.cFileName);
    } while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES)) << pattern;
    EXPECT_TRUE(FindClose(find));
    return listing;
}

}  // namespace

TEST(FindFilesTest, PatternsMatchTheLastPartWithoutRegardToCase) {
    const std::string folder = uniqueName("patterns");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((folder + "\\agent-sub").c_str(), NULL));
    for (const char* name : {"agent.txt", "agent000001.txt", "agent000002.txt.gz", "AGENT000003.TXT", "other.log",
                             "noext"}) {
        std::ofstream(nativePath(folder + "\\" + name)) << name;
    }
    const std::set<std::string> allFiles = {"agent.txt",       "agent000001.txt", "agent000002.txt.gz",
                                            "AGENT000003.TXT", "other.log",       "noext"};
    const struct {
        const char* pattern;
        std::set<std::string> files;
        std::set<std::string> folders;
    } cases[] = {
        {"*", allFiles, {".", "..", "agent-sub"}},
        {"*.*", allFiles, {".", "..", "agent-sub"}},  // also the names without a dot
        {"agent*", {"agent.txt", "agent000001.txt", "agent000002.txt.gz", "AGENT000003.TXT"}, {"agent-sub"}},
        {"Agent??????.txt", {"agent000001.txt", "AGENT000003.TXT"}, {}},
        {"*.gz", {"agent000002.txt.gz"}, {}},
        {"*0*.t?t", {"agent000001.txt", "AGENT000003.TXT"}, {}},
        {"OTHER.LOG", {"other.log"}, {}},
    };
    for (const auto& c : cases) {
        const Listing listing = list(folder + "\\" + c.pattern);
        EXPECT_EQ(listing.firstError, 0u) << c.pattern;
        EXPECT_EQ(listing.files, c.files) << c.pattern;
        EXPECT_EQ(listing.folders, c.folders) << c.pattern;
    }
}

TEST(FindFilesTest, NothingMatchingIsFileNotFoundAndAMissingFolderIsPathNotFound) {
    const std::string folder = uniqueName("nomatch");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    std::ofstream(nativePath(folder + "\\present.txt")) << "x";
    EXPECT_EQ(list(folder + "\\absent*").firstError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(list(folder + "\\present.txt.*x").firstError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(list(uniqueName("missing") + "\\*").firstError, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}
