#include "app/platform.h"

#include "os/files.h"

std::filesystem::path setupDirectory(const std::filesystem::path &programDir)
{
    if (files::canWriteIn(programDir)) {
        return programDir;
    }
    const std::filesystem::path downloads = files::downloadFolder();
    std::error_code error;
    std::filesystem::create_directories(downloads, error);
    return downloads;
}

Platform SystemServices::platform(std::string versionUrl, std::filesystem::path engineVersionFile,
                                  std::filesystem::path programDir, std::string programName)
{
    Platform result;
    result.versionUrl = std::move(versionUrl);
    result.engineVersionFile = std::move(engineVersionFile);
    result.programDir = std::move(programDir);
    result.programName = std::move(programName);
    result.clock = &clock;
    result.launcher = &launcher;
    result.tone = &tone;
    return result;
}
