// The process entry's small decisions: the version switch, exit codes of
// start-up results and where the single-instance lock lives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "desktop/process_entry.h"

namespace {

TEST(ProcessEntry, VersionSwitchAnywhereAfterTheProgram) {
    const char* withVersion[] = {"brisvanesrv", "--verbose", "-v"};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(handleVersionArgument(3, const_cast<char**>(withVersion)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nbrisvanesrv 1.0.23\n");

    const char* without[] = {"brisvanesrv", "--VERSION", "-V", "version"};
    EXPECT_FALSE(handleVersionArgument(4, const_cast<char**>(without)));
    const char* programOnly[] = {"-v"};
    EXPECT_FALSE(handleVersionArgument(1, const_cast<char**>(programOnly))) << "the program name is not an argument";
}

TEST(ProcessEntry, StartResultsBecomeEightBitExitCodes) {
    const std::pair<int, int> cases[] = {{1, 0},     {1001, 233}, {1002, 234}, {1011, 243},
                                         {1104, 80}, {1301, 21},  {1302, 22},  {9999, 15}};
    for (const auto& [code, exit] : cases) EXPECT_EQ(exitCodeForStartResult(code), exit) << code;
}

TEST(ProcessEntry, LockFileLocation) {
    const char* saved = std::getenv("BRISVANE_LOCK_FILE");
    const std::string savedValue = saved ? saved : "";
    ::setenv("BRISVANE_LOCK_FILE", "/tmp/x.lock", 1);
    EXPECT_EQ(instanceLockPath(), "/tmp/x.lock");
    ::unsetenv("BRISVANE_LOCK_FILE");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) EXPECT_EQ(instanceLockPath(), std::string(runtime) + "/brisvanesrv.lock");
    else EXPECT_EQ(instanceLockPath(), "/tmp/brisvanesrv-" + std::to_string(::getuid()) + ".lock");
    if (saved) ::setenv("BRISVANE_LOCK_FILE", savedValue.c_str(), 1);
}

}  // namespace

namespace {

TEST(ProcessEntry, StartupFailureTextsByCode) {
    const std::pair<int, const char*> cases[] = {
        {1001, "잘못된 실행 인자입니다."},
        {1002, "잘못된 실행 인자입니다."},
        {1011, "설정 파일을 찾을 수 없습니다.\n\nconf/serv.conf 파일을 확인해주세요."},
        {1104, "필수 디렉토리를 생성할 수 없습니다.\n\n설치 경로의 쓰기 권한을 확인해주세요."},
        {1302, "서버 포트를 열 수 없습니다.\n\n포트가 이미 사용 중이거나 네트워크 오류입니다."},
        {1301, "서버 시작에 실패했습니다.\n\n오류 코드: 1301"},
        {9999, "서버 시작에 실패했습니다.\n\n오류 코드: 9999"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(startupErrorText(code), text) << code;
}

}  // namespace
