# Writes the header of the version resource: the version and the publisher, and the
# git commit the build is made from ("unknown" outside a checkout; "-modified" when
# tracked files differ from it). Runs at every build; OUTPUT is rewritten only
# when its content changes.
#   cmake -DSOURCE_DIR=... -DTEMPLATE=... -DOUTPUT=... -DVERSION=x.y.z -DPUBLISHER=...
#         -P version_info.cmake

string(REPLACE "." ";" numbers "${VERSION}")
list(GET numbers 0 VERSION_MAJOR)
list(GET numbers 1 VERSION_MINOR)
list(GET numbers 2 VERSION_PATCH)

function(git output)
    execute_process(COMMAND git -C "${SOURCE_DIR}" ${ARGN}
                    OUTPUT_VARIABLE text RESULT_VARIABLE failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(failed)
        set(text "")
    endif()
    set(${output} "${text}" PARENT_SCOPE)
endfunction()

git(REVISION rev-parse --short=12 HEAD)
git(REVISION_DATE log -1 --format=%cI HEAD)
git(CHANGES status --porcelain --untracked-files=no)
if(REVISION STREQUAL "")
    set(REVISION unknown)
    set(REVISION_DATE unknown)
elseif(NOT CHANGES STREQUAL "")
    string(APPEND REVISION "-modified")
endif()

configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
