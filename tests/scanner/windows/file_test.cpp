// Creating the page file: created or emptied, never written through a link.
#include <gmock/gmock.h>

#include "WindowsTesting.h"
#include "scanner/platform/windows/WindowsPlatform.h"

namespace gravelin::testing {
namespace {

using windows::narrow;

class PageFile : public ::testing::Test {
protected:
    ScratchDirectory dir_;
    WindowsPlatform platform_;
    std::wstring page_ = dir_.file(L"gravelin-scanner.html");

    std::unique_ptr<OutputFile> create() { return platform_.createFile(narrow(page_)); }
};

TEST_F(PageFile, AMissingFileIsCreated) {
    {
        auto file = create();
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(file->write("<html>\r\n"));
        EXPECT_TRUE(file->write(std::string("\0\xFF", 2)));
    }
    EXPECT_EQ(readFile(page_), std::string("<html>\r\n\0\xFF", 10));
}

TEST_F(PageFile, AnExistingFileIsEmptiedFirst) {
    ASSERT_TRUE(writeFile(page_, "an earlier, longer page"));
    {
        auto file = create();
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(file->write("new"));
    }
    EXPECT_EQ(readFile(page_), "new");
}

TEST_F(PageFile, TheBrowserCanReadWhileThePageIsOpen) {
    auto file = create();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->write("partial"));
    EXPECT_EQ(readFile(page_), "partial");
}

TEST_F(PageFile, AFileHeldExclusivelyIsRefusedUntilReleased) {
    ASSERT_TRUE(writeFile(page_, "held"));
    const HANDLE holder = ::CreateFileW(page_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(create(), nullptr);
    ::CloseHandle(holder);
    EXPECT_EQ(readFile(page_), "held");
    EXPECT_NE(create(), nullptr);
}

TEST_F(PageFile, ASecondHardLinkIsNeverWrittenThrough) {
    // Emptying the page would empty the other name's file too.
    const std::wstring target = dir_.file(L"precious.txt");
    ASSERT_TRUE(writeFile(target, "keep me"));
    if (!::CreateHardLinkW(page_.c_str(), target.c_str(), nullptr))
        GTEST_SKIP() << "no hard links on this file system";
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(readFile(target), "keep me");
}

TEST_F(PageFile, ASymbolicLinkIsNeverWrittenThrough) {
    const std::wstring target = dir_.file(L"precious.txt");
    ASSERT_TRUE(writeFile(target, "keep me"));
    constexpr DWORD kAllowUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (!::CreateSymbolicLinkW(page_.c_str(), target.c_str(), kAllowUnprivileged))
        GTEST_SKIP() << "cannot create symbolic links here (error " << ::GetLastError() << ")";
    // Wine's CreateSymbolicLinkW reports success and makes nothing.
    const DWORD attributes = ::GetFileAttributesW(page_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        GTEST_SKIP() << "CreateSymbolicLinkW made no link here";
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(readFile(target), "keep me");
}

TEST_F(PageFile, ADirectoryOfThatNameIsRefused) {
    ASSERT_TRUE(::CreateDirectoryW(page_.c_str(), nullptr));
    EXPECT_EQ(create(), nullptr);
}

}  // namespace
}  // namespace gravelin::testing
