# The Windows build: the same core and handlers under a native window, and tests under Wine.

add_executable(kolup-updater WIN32
    app/win32/desktop.h app/win32/desktop_win.cpp
    app/win32/form1window.cpp app/win32/form1window.h
    app/win32/kolup.rc app/win32/resource.h
    app/win32/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/generated/buildconfig.cpp)
kolup_stamped(kolup-updater)
target_include_directories(kolup-updater PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(kolup-updater PRIVATE kolup-form shell32 gdi32 user32 ole32 uuid)
# Windows 10's calls: the window's own DPI, the taskbar's progress.
target_compile_definitions(kolup-updater PRIVATE WINVER=0x0A00 _WIN32_WINNT=0x0A00)
target_link_options(kolup-updater PRIVATE -municode)
kolup_version_resource(kolup-updater "Kolup Updater")

# The core's rules that differ per system, checked on Windows itself.
include(CTest)
if(BUILD_TESTING)
    add_executable(tst_files_win tests/windows/tst_files_win.cpp)
    target_link_libraries(tst_files_win PRIVATE kolup-core)
    # Once in a single-byte code page and once in Japanese (932), whose characters' second
    # byte may be a backslash's; Wine takes the code page from LC_ALL.
    add_test(NAME tst_files_win COMMAND tst_files_win 1252)
    add_test(NAME tst_files_win_932 COMMAND tst_files_win 932)
    set_tests_properties(tst_files_win PROPERTIES TIMEOUT 120 ENVIRONMENT LC_ALL=en_US.UTF-8)
    set_tests_properties(tst_files_win_932 PROPERTIES TIMEOUT 120 ENVIRONMENT LC_ALL=ja_JP.UTF-8)

    # The end-to-end test's hand on the window, and a DLL it plants beside the program.
    add_executable(kolup-driver tests/windows/driver.cpp)
    target_compile_definitions(kolup-driver PRIVATE WINVER=0x0A00 _WIN32_WINNT=0x0A00)
    add_library(kolup-planted SHARED tests/windows/planted.cpp tests/windows/planted.def)

    set_target_properties(kolup-planted PROPERTIES PREFIX "")
    target_link_options(kolup-planted PRIVATE -static)
    target_include_directories(kolup-driver PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

    # The real program under Wine and Xvfb against nginx, as on Linux. It needs the Linux
    # build's tools (the record tool, the screenshot grabber, the demo key) and a build made
    # for the demo host, whose engine file lies on Wine's drive Z:.
    set(KOLUP_LINUX_BUILD "" CACHE PATH "The Linux build whose tools the Windows e2e test uses")
    if(KOLUP_LINUX_BUILD AND KOLUP_VERSION_URL MATCHES
            "^http://127\\.0\\.0\\.1:[0-9]+/kolup/KOLUP_VERSION\\.txt$"
            AND KOLUP_ENGINE_VERSION_FILE MATCHES "^Z:[/\\\\]")
        # Wine's drive Z: is the Linux root.
        string(REGEX REPLACE "^Z:" "" engine_file "${KOLUP_ENGINE_VERSION_FILE}")
        string(REPLACE "\\" "/" engine_file "${engine_file}")

        add_test(NAME e2e-windows
            COMMAND dbus-run-session -- /usr/bin/python3 -m unittest -v test_e2e_windows
            WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e)
        set_tests_properties(e2e-windows PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE ENVIRONMENT
            "KOLUP_WINDOWS_BUILD=${CMAKE_CURRENT_BINARY_DIR};KOLUP_BUILD=${KOLUP_LINUX_BUILD};KOLUP_RECORD=${KOLUP_LINUX_BUILD}/tools/kolup-record;KOLUP_GRAB=${KOLUP_LINUX_BUILD}/tests/kolup-grab;KOLUP_ENGINE_FILE=${engine_file};KOLUP_VERSION_URL=${KOLUP_VERSION_URL};KOLUP_KEYED=$<BOOL:${KOLUP_SIGNING_KEY}>;KOLUP_SECRET_KEY=${KOLUP_LINUX_BUILD}/demo-key/minisign.key;KOLUP_WINDOWS_SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/window.png")
        # The installer built from this build, installed, upgraded and removed under Wine.
        add_test(NAME msi-windows
            COMMAND dbus-run-session -- /usr/bin/python3 -m unittest -v test_msi_windows
            WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e)
        set_tests_properties(msi-windows PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE ENVIRONMENT
            "KOLUP_WINDOWS_BUILD=${CMAKE_CURRENT_BINARY_DIR};KOLUP_BUILD=${KOLUP_LINUX_BUILD};KOLUP_RECORD=${KOLUP_LINUX_BUILD}/tools/kolup-record;KOLUP_GRAB=${KOLUP_LINUX_BUILD}/tests/kolup-grab;KOLUP_ENGINE_FILE=${engine_file};KOLUP_VERSION_URL=${KOLUP_VERSION_URL};KOLUP_KEYED=$<BOOL:${KOLUP_SIGNING_KEY}>;KOLUP_SECRET_KEY=${KOLUP_LINUX_BUILD}/demo-key/minisign.key;KOLUP_MSI_SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/installed.png")
    else()
        message(STATUS "e2e-windows not registered: build with scripts/test.sh to run it")
    endif()
endif()

# The release: one zip with both programs, the licence and a short README.
install(TARGETS kolup-updater kolup-record RUNTIME DESTINATION .)
install(FILES data/copyright DESTINATION . RENAME LICENSE.txt)
install(FILES data/README-windows.txt DESTINATION . RENAME README.txt)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kolup-updater)
set(CPACK_PACKAGE_FILE_NAME kolup-updater-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# Stripped when linked (Release), not by CPack: stripping after an Authenticode signature
# (scripts/package.sh) would break it.
set(CPACK_STRIP_FILES OFF)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# What Windows sees of each program before it runs: known DLLs only at load time, hardening,
# manifest, version, a signature made as the maker makes it.
if(BUILD_TESTING)
    add_test(NAME windows-programs COMMAND /usr/bin/python3
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/windows/test_programs.py
        $<TARGET_FILE:kolup-updater> $<TARGET_FILE:kolup-record> -v)
    set_tests_properties(windows-programs PROPERTIES TIMEOUT 120)
endif()

