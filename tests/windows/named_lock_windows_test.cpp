// The machine-wide named mutexes of the Win32 layer across real processes:
// the names other programs (and other builds of the component) open, a
// holder that ends or is killed while holding, and two processes changing
// the settings files at once through the locks.
#include <gtest/gtest.h>

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/UTTextCodec.h"
#include "config/UTConfigFileClass.h"
#include "config/UTConfigPaths.h"
#include "config/UTXMLConfig.h"
#include "manager/UTTranscriptManager.h"
#include "platform/UTNamedLock.h"
#include "platform/UTPlatform.h"
#include "support/ScratchRoots.h"
#include "support/WindowsChild.h"

using tvut_test::RoleArgument;
using tvut_test::ScratchRoots;
using tvut_test::WindowsChild;

namespace {

std::chrono::steady_clock::time_point Deadline() {
    return std::chrono::steady_clock::now() + tvut_test::kChildWait;
}

std::wstring SettingsFilePath() {
    return CUTXMLConfig(UT_FILE_PI_UD, kComponentFolderName).FilePath();
}

// The file's lock name as other programs derive it: the path with every "\"
// as "_".
std::wstring PathAsLockName(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') {
            c = L'_';
        }
    }
    return path;
}

}  // namespace

// Holds the lock TVUT_LOCK_NAME through the component's registry until the
// parent lets it go (or kills it).
TEST(WindowsChild, DISABLED_HoldLock) {
    CUTNamedLockGuard guard(FromUtf8(RoleArgument("TVUT_LOCK_NAME")), Deadline());
    ASSERT_TRUE(guard.IsHeld());
    tvut_test::SignalReady();
    ASSERT_TRUE(tvut_test::AwaitGo());
}

TEST(NamedLockWindowsTest, AnotherProcessHoldsTheNamedMutexUntilItEndsOrIsKilled) {
    ScratchRoots roots;
    const std::wstring settings = SettingsFilePath();
    const std::wstring long_path = L"C:\\" + std::wstring(300, L'x') + L"\\ProdInd_UserDep.cur";
    struct Name {
        const char* what;
        std::wstring lock;
        std::wstring mutex;  // what other programs open
    };
    const Name names[] = {
        {"the sending lock", CUTTranscriptManager::kSendingLockName,
         L"Global\\TELVORAN_UT_SENDING_LOCK"},
        {"a settings file's lock", CUTXMLConfig(UT_FILE_PI_UD, kComponentFolderName).LockName(),
         L"Global\\" + PathAsLockName(settings)},
        {"a long path's lock", FileLockName(long_path), L"Global\\UT_FILE_LOCK_CONFIG_FILE"},
        {"the lock of no path", FileLockName(L""), L"Global\\UT_GLOBAL_FILE_LOCK"},
    };
    for (const Name& name : names) {
        for (const bool killed : {false, true}) {
            SCOPED_TRACE(std::string(name.what) + (killed ? ", holder killed" : ", holder ends"));
            WindowsChild holder("HoldLock", {{"TVUT_LOCK_NAME", ToUtf8(name.lock)}});
            ASSERT_TRUE(holder.started()) << holder.error();
            ASSERT_TRUE(holder.WaitUntilReady());

            // The mutex of that name exists and is held.
            HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, name.mutex.c_str());
            ASSERT_NE(nullptr, mutex) << ToUtf8(name.mutex) << ": " << ::GetLastError();
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(mutex, 0));
            ::CloseHandle(mutex);
            std::unique_ptr<CUTSystemLock> lock;
            ASSERT_TRUE(CUTPlatform::Current()->OpenNamedLock(name.lock, &lock));
            bool taken = true;
            ASSERT_TRUE(lock->TryLock(&taken));
            EXPECT_FALSE(taken);

            unsigned long code = 0;
            if (killed) {
                holder.Kill();
                ASSERT_TRUE(holder.WaitForExit(&code));
                EXPECT_EQ(tvut_test::kKilledExitCode, code);
            } else {
                holder.Go();
                ASSERT_TRUE(holder.WaitForExit(&code));
                EXPECT_EQ(0u, code);
            }
            // A mutex its holder left by dying counts as taken.
            ASSERT_TRUE(lock->TryLock(&taken));
            EXPECT_TRUE(taken);
            if (taken) {
                EXPECT_TRUE(lock->Unlock());
            }
            CUTNamedLockGuard guard(name.lock, Deadline());
            EXPECT_TRUE(guard.IsHeld());
        }
    }
}

// ---- the settings files of two processes at once ---------------------------------

namespace {

const int kRounds = 100;

std::wstring ValueOfRound(const std::wstring& item, int round) {
    return item == L"TelvoranLogin" ? L"user" + std::to_wstring(round)
                                    : std::to_wstring(1700000000 + round);
}

}  // namespace

// Sets the item TVUT_ITEM kRounds times, each time through a file object
// of its own that saves at once, and checks after every save that the file
// holds it: a save of the other process made without the lock, or without
// merging, would take it away.
TEST(WindowsChild, DISABLED_SetItemRepeatedly) {
    const std::wstring item = FromUtf8(RoleArgument("TVUT_ITEM"));
    tvut_test::SignalReady();
    ASSERT_TRUE(tvut_test::AwaitGo());
    for (int round = 0; round < kRounds; ++round) {
        CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(config.Load());
        const std::wstring value = ValueOfRound(item, round);
        config.SetValue(item, value, true);
        std::wstring stored;
        ASSERT_TRUE(config.GetValue(item, true, &stored));
        ASSERT_EQ(ToUtf8(value), ToUtf8(stored)) << "round " << round;
    }
}

TEST(NamedLockWindowsTest, TwoProcessesChangingTheSettingsAtOnceLoseNothing) {
    ScratchRoots roots;
    {
        CUTXMLConfig config(UT_FILE_PI_UD, kComponentFolderName);
        ASSERT_TRUE(config.Load());
    }
    const std::wstring items[] = {L"LastSendTimestamp", L"TelvoranLogin"};
    std::vector<std::unique_ptr<WindowsChild>> writers;
    for (const std::wstring& item : items) {
        writers.push_back(std::make_unique<WindowsChild>(
            "SetItemRepeatedly", WindowsChild::Variables{{"TVUT_ITEM", ToUtf8(item)}}));
        ASSERT_TRUE(writers.back()->started()) << writers.back()->error();
    }
    // Both start their saves at one moment.
    for (auto& writer : writers) {
        ASSERT_TRUE(writer->WaitUntilReady());
    }
    for (auto& writer : writers) {
        writer->Go();
    }
    for (auto& writer : writers) {
        unsigned long code = 0;
        ASSERT_TRUE(writer->WaitForExit(&code));
        EXPECT_EQ(0u, code);
    }
    CUTXMLConfig reader(UT_FILE_PI_UD, kComponentFolderName);
    ASSERT_TRUE(reader.Load());
    for (const std::wstring& item : items) {
        std::wstring value;
        ASSERT_TRUE(reader.GetValue(item, true, &value)) << ToUtf8(item);
        EXPECT_EQ(ToUtf8(ValueOfRound(item, kRounds - 1)), ToUtf8(value)) << ToUtf8(item);
    }
}
