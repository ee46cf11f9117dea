#include "app/platform.h"

#include "os/files.h"

SetupFolder setupFolder(const std::filesystem::path &programDir)
{
    if (files::canWriteIn(programDir)) {
        return {programDir, false, true};
    }
    const files::Folder fallback = files::fallbackFolder();
    return {fallback.path, true, fallback.ours};
}

Platform SystemServices::platform(std::string versionUrl, std::filesystem::path engineVersionFile,
                                  SetupFolder setupFolder, std::string programName)
{
    Platform result;
    result.versionUrl = std::move(versionUrl);
    result.engineVersionFile = std::move(engineVersionFile);
    result.setupFolder = std::move(setupFolder);
    result.programName = std::move(programName);
    result.clock = &clock;
    result.launcher = &launcher;
    result.tone = &tone;
    return result;
}
