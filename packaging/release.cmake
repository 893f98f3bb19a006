# The release's facts, each said once: its version, and the publisher that the version resource,
# the packages and the bill of materials name. CMakeLists.txt includes this before project();
# the shell reads one fact with
#   cmake -D FACT=version -P packaging/release.cmake      (or FACT=publisher)
set(PELMORANE_RELEASE_VERSION 1.3.3)
set(PELMORANE_PUBLISHER "The Pelmorane developers")

if(CMAKE_SCRIPT_MODE_FILE)
    if(FACT STREQUAL "version")
        set(fact ${PELMORANE_RELEASE_VERSION})
    elseif(FACT STREQUAL "publisher")
        set(fact ${PELMORANE_PUBLISHER})
    else()
        message(FATAL_ERROR "FACT is version or publisher, not '${FACT}'")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${fact}")
endif()
