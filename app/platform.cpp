#include "app/platform.h"

#include "download/files.h"

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
