# Installs the build into PREFIX and checks the result as a desktop would see it.
# cmake -DBUILD_DIR=... -DPREFIX=... -DAPP_ID=... -DVERSION=... -P CheckInstallLayout.cmake

function(fail)
    string(JOIN "" message ${ARGN})
    message(FATAL_ERROR "${message}")
endfunction()

# The first capture of `regex` in `text`, or a failure naming `what`.
function(capture variable regex text what)
    if(NOT text MATCHES "${regex}")
        fail("${what} not found")
    endif()
    set(${variable} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

function(run_validator)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(JOIN " " command ${ARGN})
    message(STATUS "${command}\n${output}")
    if(result)
        fail("${ARGV0} refused the installed files (exit ${result}):\n${output}")
    endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result)
    fail("cmake --install failed:\n${output}")
endif()

# Exactly these, so that nothing of the build (libraries, test programs) ships by accident.
set(binary bin/vellumcast-uploader)
set(desktop_entry share/applications/${APP_ID}.desktop)
set(metainfo share/metainfo/${APP_ID}.metainfo.xml)
set(icon share/icons/hicolor/scalable/apps/${APP_ID}.svg)
set(expected ${binary} ${desktop_entry} ${icon} ${metainfo})
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT expected)
list(SORT installed)
if(NOT installed STREQUAL expected)
    fail("installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

file(READ "${PREFIX}/${binary}" magic LIMIT 4 HEX)
execute_process(COMMAND test -x "${PREFIX}/${binary}" RESULT_VARIABLE not_executable)
if(NOT magic STREQUAL "7f454c46" OR not_executable)
    fail("${binary} is not an executable program")
endif()

# The three files name each other.
file(READ "${PREFIX}/${desktop_entry}" entry)
capture(exec "\nExec=([^\n]*)" "${entry}" "Exec= in ${desktop_entry}")
capture(icon_name "\nIcon=([^\n]*)" "${entry}" "Icon= in ${desktop_entry}")
if(NOT exec STREQUAL "vellumcast-uploader" OR NOT icon_name STREQUAL APP_ID)
    fail("${desktop_entry} starts \"${exec}\" with icon \"${icon_name}\"")
endif()

file(READ "${PREFIX}/${metainfo}" component)
capture(id "<id>([^<]*)</id>" "${component}" "<id> in ${metainfo}")
capture(launchable "<launchable type=\"desktop-id\">([^<]*)</launchable>" "${component}" "launchable")
if(NOT id STREQUAL APP_ID OR NOT launchable STREQUAL "${APP_ID}.desktop")
    fail("${metainfo} is ${id}, launched by ${launchable}")
endif()
# Releases are listed newest first: the version being built must come with its notes.
capture(newest_release "<release version=\"([^\"]*)\"" "${component}" "a release in ${metainfo}")
if(NOT newest_release STREQUAL VERSION)
    fail("${metainfo} describes release ${newest_release} last, the build is ${VERSION}: add its notes")
endif()
capture(screenshot "<screenshot[^>]*>[^<]*<caption>[^<]+</caption>[^<]*<image>(https://[^<]+)</image>"
        "${component}" "a screenshot with a caption in ${metainfo}")

file(READ "${PREFIX}/${icon}" svg)
capture(view_box "<svg[^>]* viewBox=\"([^\"]*)\"" "${svg}" "the icon's viewBox")
separate_arguments(view_box)
list(GET view_box 2 width)
list(GET view_box 3 height)
if(NOT width EQUAL height)
    fail("the icon is ${width} by ${height}, not square")
endif()

find_program(desktop_file_validate desktop-file-validate)
find_program(appstreamcli appstreamcli)
if(NOT desktop_file_validate OR NOT appstreamcli)
    fail("desktop-file-validate and appstreamcli are needed (packages desktop-file-utils and appstream; scripts/setup installs them)")
endif()
run_validator(${desktop_file_validate} "${PREFIX}/${desktop_entry}")
# The metainfo as the software centres read it from the tree, with the desktop entry it
# launches. The screenshots' addresses are checked where they are published, not here.
run_validator(${appstreamcli} validate-tree --no-net --strict "${PREFIX}")
