#include "app/platform.h"

#include "os/files.h"

SetupFolder setupFolder(const std::filesystem::path &programDir)
{
    if (!files::installedForAllUsers(programDir) && files::canWriteIn(programDir)) {
        return {programDir, false, true};
    }
    const files::Folder fallback = files::fallbackFolder();
    return {fallback.path, true, fallback.ours};
}

Platform SystemServices::platform(std::string versionUrl, std::filesystem::path engineVersionFile,
                                  const std::filesystem::path &programFile)
{
    Platform result;
    result.versionUrl = std::move(versionUrl);
    result.engineVersionFile = std::move(engineVersionFile);
    result.setupFolder = setupFolder(programFile.parent_path());
    result.programFile = programFile;
    result.clock = &clock;
    result.launcher = &launcher;
    result.tone = &tone;
    return result;
}
