#include "ConsistentFile.h"
#include "NativePath.h"
#include "TestSupport.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// CRC-32 of the texts the slots hold below, as zlib's crc32 gives them.
const char* const kCrcA = "311672423";    // "t_a=1\n"
const char* const kCrcB = "722158154";    // "t_b=2\n"
const char* const kCrcAB = "559608457";   // "t_a=1\nt_b=2\n"
const char* const kCrcLong = "242249719";  // "t_a=1\n" + 511 "x" + "\n"

void writeFile(const std::string& windowsPath, const std::string& content) {
    std::ofstream out(nativePath(windowsPath), std::ios::binary | std::ios::trunc);
    out << content;
}

// The level and message of each line logged since the last clear.
std::vector<std::string> loggedMessages() {
    std::vector<std::string> messages;
    for (const std::string& line : sharedClient().lines()) {
        size_t pos = 0;
        std::string level;
        for (int column = 0; column < 6 && pos != std::string::npos; ++column) {
            const size_t next = line.find(',', pos);
            if (column == 1) level = line.substr(pos, next - pos);
            pos = next == std::string::npos ? next : next + 1;
        }
        std::string message = pos == std::string::npos ? line : line.substr(pos);
        if (!message.empty() && message.back() == '\n') message.pop_back();
        messages.push_back(level + " " + message);
    }
    return messages;
}

// A folder of its own, with the base path of the slot files in it.
std::string freshBase() {
    const std::string dir = uniqueName("consistent");
    std::filesystem::remove_all(nativePath(dir));  // never a rerun's leftovers
    std::filesystem::create_directory(nativePath(dir));
    return dir + "\\tweaks.txt";
}

}  // namespace

TEST(ConsistentFileTest, SlotFileNames) {
    ConsistentFile file("tesk_tweaks\\\\tweaks.txt");
    EXPECT_EQ(file.getDataFileName(0), "tesk_tweaks\\\\tweaks.txt.0");
    EXPECT_EQ(file.getSignatureFileName(0), "tesk_tweaks\\\\tweaks.txt.0.sig");
    EXPECT_EQ(file.getDataFileName(1), "tesk_tweaks\\\\tweaks.txt.1");
    EXPECT_EQ(file.getSignatureFileName(1), "tesk_tweaks\\\\tweaks.txt.1.sig");
}

TEST(ConsistentFileTest, LoadChoosesTheNewestValidSlot) {
    const std::string A = "t_a=1\n";
    const std::string B = "t_b=2\n";
    const std::string sigA3 = std::string("3\n") + kCrcA + "\n";
    const struct {
        const char* what;
        const char* data0;  // nullptr: no such file
        std::string sig0;
        const char* data1;
        std::string sig1;
        int rc;
        std::string out;  // what load adds to the stream
        std::vector<std::string> log;
    } cases[] = {
        {"no files at all: nothing to load",
         nullptr, "", nullptr, "", 0, "",
         {"Info Not found persistent files for index 0", "Info Not found persistent files for index 1",
          "Info File does not exist"}},
        {"the higher version wins",
         "t_a=1\n", sigA3, "t_b=2\n", std::string("2\n") + kCrcB + "\n", 0, A,
         {"Info Latest index found: 0", "Info Index 1 is older than the current one"}},
        {"slot 1 newer",
         "t_a=1\n", sigA3, "t_b=2\n", std::string("4\n") + kCrcB + "\n", 0, B,
         {"Info Latest index found: 0", "Info Latest index found: 1"}},
        {"equal versions: the later slot wins",
         "t_a=1\n", sigA3, "t_b=2\n", std::string("3\n") + kCrcB + "\n", 0, B,
         {"Info Latest index found: 0", "Info Latest index found: 1"}},
        {"data edited after signing: the other slot is loaded",
         "t_a=1\n", sigA3, "t_b=3\n", std::string("5\n") + kCrcB + "\n", 0, A,
         {"Info Latest index found: 0", "Error Data and signature do not match for index 1"}},
        {"a bad CRC in the only slot",
         "t_a=2\n", sigA3, nullptr, "", 1, "",
         {"Error Data and signature do not match for index 0", "Info Not found persistent files for index 1",
          "Error Error loading from disk"}},
        {"a data file without its signature",
         "t_a=1\n", "", nullptr, "", 1, "",
         {"Error Incomplete pair of persistent files for index 0", "Info Not found persistent files for index 1",
          "Error Error loading from disk"}},
        {"a signature without its data, next to a valid slot",
         "t_a=1\n", sigA3, nullptr, "7\n1\n", 0, A,
         {"Info Latest index found: 0", "Error Incomplete pair of persistent files for index 1"}},
        {"a version that is no number counts as 0",
         "t_a=1\n", std::string("abc\n") + kCrcA + "\n", nullptr, "", 1, "",
         {"Info Latest index found: 0", "Info Not found persistent files for index 1",
          "Error Error loading from disk"}},
        {"version 0 does not count",
         "t_a=1\n", std::string("0\n") + kCrcA + "\n", nullptr, "", 1, "",
         {"Info Latest index found: 0", "Info Not found persistent files for index 1",
          "Error Error loading from disk"}},
        {"CRLF line ends, in the data and in the signature, check as LF",
         "t_a=1\r\nt_b=2\r\n", std::string("1\r\n") + kCrcAB + "\r\n", nullptr, "", 0, A + B,
         {"Info Latest index found: 0", "Info Not found persistent files for index 1"}},
        {"a last line without its line end",
         "t_a=1\nt_b=2", std::string("1\n") + kCrcAB + "\n", nullptr, "", 0, A + B,
         {"Info Latest index found: 0", "Info Not found persistent files for index 1"}},
        {"a version line past the line limit counts as 0, and the CRC after it too",
         "t_a=1\n", std::string(600, '0') + "1\n" + kCrcA + "\n", nullptr, "", 1, "",
         {"Error Data and signature do not match for index 0", "Info Not found persistent files for index 1",
          "Error Error loading from disk"}},
        {"a version of -1 is no number: it does not hide the other slot's newer copy",
         "t_a=1\n", std::string("-1\n") + kCrcA + "\n", "t_b=2\n", std::string("2\n") + kCrcB + "\n", 0, B,
         {"Info Latest index found: 0", "Info Latest index found: 1"}},
        {"the largest version has no successor: never chosen",
         "t_a=1\n", std::string("18446744073709551615\n") + kCrcA + "\n", "t_b=2\n", std::string("2\n") + kCrcB + "\n",
         0, B, {"Info Latest index found: 0", "Info Latest index found: 1"}},
        {"only digits make a version: a sign or trailing text counts as 0",
         "t_a=1\n", std::string("+3\n") + kCrcA + "\n", "t_b=2\n", std::string("3abc\n") + kCrcB + "\n", 1, "",
         {"Info Latest index found: 0", "Info Latest index found: 1", "Error Error loading from disk"}},
        {"a blank before the version, or a version past 64 bits, counts as 0",
         "t_a=1\n", std::string(" 3\n") + kCrcA + "\n", "t_b=2\n", std::string("18446744073709551616\n") + kCrcB + "\n",
         1, "", {"Info Latest index found: 0", "Info Latest index found: 1", "Error Error loading from disk"}},
        {"a signed CRC is no CRC",
         "t_a=1\n", std::string("1\n+") + kCrcA + "\n", "t_b=2\n", std::string("2\n-") + kCrcB + "\n", 1, "",
         {"Error Data and signature do not match for index 0", "Error Data and signature do not match for index 1",
          "Error Error loading from disk"}},
        {"the CRC is compared in its low 32 bits",
         "t_a=1\n", "1\n" + std::to_string((1ull << 32) + std::stoull(kCrcA)) + "\n", nullptr, "", 0, A,
         {"Info Latest index found: 0", "Info Not found persistent files for index 1"}},
    };
    for (const auto& c : cases) {
        const std::string base = freshBase();
        if (c.data0) writeFile(base + ".0", c.data0);
        if (!c.sig0.empty()) writeFile(base + ".0.sig", c.sig0);
        if (c.data1) writeFile(base + ".1", c.data1);
        if (!c.sig1.empty()) writeFile(base + ".1.sig", c.sig1);

        ConsistentFile file(base);
        sharedClient().clear();
        std::stringstream out;
        out << "before:";
        EXPECT_EQ(file.load(out), c.rc) << c.what;
        EXPECT_EQ(out.str(), "before:" + c.out) << c.what;
        EXPECT_EQ(loggedMessages(), c.log) << c.what;
    }
}

// The next version written follows the newest valid one and never wraps to 0: a version without a successor is
// passed over, and so is a "-1" that a stream's extraction would read as the largest number.
TEST(ConsistentFileTest, NextVersionNeverWraps) {
    const struct {
        std::string version0, version1;
        u64 next;
    } cases[] = {
        {"3", "2", 4},
        {"18446744073709551614", "2", 18446744073709551615ull},
        {"18446744073709551615", "2", 3},
        {"-1", "2", 3},
        {"18446744073709551615", "-1", 1},
    };
    for (const auto& c : cases) {
        const std::string base = freshBase();
        writeFile(base + ".0", "t_a=1\n");
        writeFile(base + ".0.sig", c.version0 + "\n" + kCrcA + "\n");
        writeFile(base + ".1", "t_b=2\n");
        writeFile(base + ".1.sig", c.version1 + "\n" + kCrcB + "\n");
        ConsistentFile file(base);
        EXPECT_EQ(file.nextVersion(), c.next) << c.version0 << " / " << c.version1;
    }
}

// An empty data file's CRC is 0: a CRC line that is missing, blank or no number must not pass for it, or a newer
// empty copy would hide the good one and the next write would go over it. A CRC written as 0 vouches for it.
TEST(ConsistentFileTest, EmptyCopyWithoutItsCrcHidesNothing) {
    const std::string mismatch = "Error Data and signature do not match for index 1";
    const struct {
        const char* what;
        std::string sig1;  // slot 1's signature, over an empty data file
        std::string out;
        std::string log1;
        int nextIndex;
    } cases[] = {
        {"no CRC line", "5\n", "t_a=1\n", mismatch, 1},
        {"a CRC line without its line end, empty", "5", "t_a=1\n", mismatch, 1},
        {"a blank CRC line", "5\n\n", "t_a=1\n", mismatch, 1},
        {"a CRC that is text", "5\ngarbage\n", "t_a=1\n", mismatch, 1},
        {"a CRC of -1", "5\n-1\n", "t_a=1\n", mismatch, 1},
        {"a CRC written as 0 vouches for the empty copy", "5\n0\n", "", "Info Latest index found: 1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string base = freshBase();
        writeFile(base + ".0", "t_a=1\n");
        writeFile(base + ".0.sig", std::string("3\n") + kCrcA + "\n");
        writeFile(base + ".1", "");
        writeFile(base + ".1.sig", c.sig1);

        ConsistentFile file(base);
        sharedClient().clear();
        std::stringstream out;
        EXPECT_EQ(file.load(out), 0);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(loggedMessages(), (std::vector<std::string>{"Info Latest index found: 0", c.log1}));
        EXPECT_EQ(file.nextIndex(), c.nextIndex) << "the next write goes over the slot loaded";
        EXPECT_EQ(file.nextVersion(), c.nextIndex == 1 ? 4u : 6u);
    }
}

TEST(ConsistentFileTest, LongLineEndsTheDataThere) {
    const std::string line511(511, 'x');
    const struct {
        const char* what;
        std::string data;
        const char* crc;
        std::string out;
    } cases[] = {
        {"511 characters are a line", "t_a=1\n" + line511 + "\n", kCrcLong, "t_a=1\n" + line511 + "\n"},
        {"511 characters before CR LF are a line", "t_a=1\r\n" + line511 + "\r\n", kCrcLong,
         "t_a=1\n" + line511 + "\n"},
        {"512 characters end the checksum and the copy", "t_a=1\n" + line511 + "x\nt_b=2\n", kCrcA, "t_a=1\n"},
    };
    for (const auto& c : cases) {
        const std::string base = freshBase();
        writeFile(base + ".0", c.data);
        writeFile(base + ".0.sig", std::string("1\n") + c.crc + "\n");
        ConsistentFile file(base);
        std::stringstream out;
        EXPECT_EQ(file.load(out), 0) << c.what;
        EXPECT_EQ(out.str(), c.out) << c.what;
    }
}

// A line's text ends at its first NUL: the checksum and the copy both stop there, and the next line counts.
TEST(ConsistentFileTest, NulEndsTheTextOfItsLine) {
    const struct {
        const char* what;
        std::string data;
        const char* crc;
        int rc;
        std::string out;
    } cases[] = {
        {"signed without the text after the NUL", std::string("t_a=1\0junk\nt_b=2\n", 17), kCrcAB, 0,
         "t_a=1\nt_b=2\n"},
        {"signed with the text after the NUL", std::string("t_a=1\0junk\nt_b=2\n", 17), "543486733", 1, ""},
    };
    for (const auto& c : cases) {
        const std::string base = freshBase();
        writeFile(base + ".0", c.data);
        writeFile(base + ".0.sig", std::string("1\n") + c.crc + "\n");
        ConsistentFile file(base);
        std::stringstream out;
        EXPECT_EQ(file.load(out), c.rc) << c.what;
        EXPECT_EQ(out.str(), c.out) << c.what;
    }
}

// A folder never opens as a slot file, on Linux as on Windows.
TEST(ConsistentFileTest, FolderNamedLikeASlotFileIsNoFile) {
    const std::string base = freshBase();
    std::filesystem::create_directory(nativePath(base + ".0"));
    writeFile(base + ".0.sig", std::string("3\n") + kCrcA + "\n");
    std::filesystem::create_directory(nativePath(base + ".1.sig"));
    writeFile(base + ".1", "t_b=2\n");
    ConsistentFile file(base);
    sharedClient().clear();
    std::stringstream out;
    EXPECT_EQ(file.load(out), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(loggedMessages(), (std::vector<std::string>{"Error Incomplete pair of persistent files for index 0",
                                                          "Error Incomplete pair of persistent files for index 1",
                                                          "Error Error loading from disk"}));
}

// The slot's data is read once: what is copied is what matched the signature, even while the file is rewritten.
TEST(ConsistentFileTest, DataRewrittenDuringLoadsIsNeverCopiedUnchecked) {
    const std::string base = freshBase();
    writeFile(base + ".0", "t_a=1\n");
    writeFile(base + ".0.sig", std::string("1\n") + kCrcA + "\n");
    ConsistentFile file(base);

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) writeFile(base + ".0", i % 2 ? "t_a=1\n" : "t_a=2\n");
    });
    for (int i = 0; i < 400; ++i) {
        std::stringstream out;
        const int rc = file.load(out);
        if (rc == 0) {
            ASSERT_EQ(out.str(), "t_a=1\n") << "load " << i;
        } else {
            ASSERT_EQ(out.str(), "") << "load " << i;
        }
    }
    stop = true;
    writer.join();
    // Once the writing has stopped on the signed text, a load certainly succeeds.
    writeFile(base + ".0", "t_a=1\n");
    std::stringstream out;
    EXPECT_EQ(file.load(out), 0);
    EXPECT_EQ(out.str(), "t_a=1\n");
    sharedClient().clear();
}
