# Windows looks for a DLL that is not on its KnownDLLs list in the program's own folder first,
# before the program runs a line: a DLL of that name planted beside it (in Downloads, say) would
# be loaded instead. Such DLLs are imported here through delay-load libraries made with
# dlltool: each is loaded at its first call, after main has limited the search to the system
# folder (SetDefaultDllDirectories).

set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)

# Replaces the named system DLLs in target's link interface by delay-load libraries of them.
function(kolup_delay_load target)
    get_target_property(libraries ${target} INTERFACE_LINK_LIBRARIES)
    set(dir ${CMAKE_BINARY_DIR}/delay-load)
    file(MAKE_DIRECTORY ${dir})
    foreach(dll IN LISTS ARGN)
        find_library(KOLUP_IMPORT_${dll} NAMES ${dll} REQUIRED)
        execute_process(COMMAND ${CMAKE_NM} --defined-only -g ${KOLUP_IMPORT_${dll}}
            OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
        # The import library's functions: "T <name>" lines.
        string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z0-9_@]+" functions "${symbols}")
        list(TRANSFORM functions REPLACE "^[0-9a-f]+ T " "")
        list(REMOVE_DUPLICATES functions)
        list(JOIN functions "\n" exports)
        file(WRITE ${dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
        execute_process(COMMAND ${CMAKE_DLLTOOL} -d ${dir}/${dll}.def -y ${dir}/lib${dll}-delay.a
            -D ${dll}.dll COMMAND_ERROR_IS_FATAL ANY)
        list(TRANSFORM libraries REPLACE "^(\\$<LINK_ONLY:)?${dll}>?$"
            "${dir}/lib${dll}-delay.a")
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${libraries}")
endfunction()
