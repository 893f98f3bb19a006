# Turns a folder's SDDL into what icacls takes, for the guide's lines that give a folder made by
# hand the package's permissions. Knows only the SIDs, inheritance flags and rights the policy
# uses; anything else stops the configuration, so the guide never shows a grant it cannot type.
#   icacls_of(<SDDL> <owner variable> <grants variable>)
#     owner: "*<SID>" for /setowner; grants: "*<SID>:<flags><rights> ..." for /grant

set(icacls_sid_SY S-1-5-18)     # SYSTEM
set(icacls_sid_BA S-1-5-32-544) # Administrators
set(icacls_sid_BU S-1-5-32-545) # Users
set(icacls_sid_SU S-1-5-6)      # SERVICE
set(icacls_sid_OW S-1-3-4)      # OWNER RIGHTS
set(icacls_flags_OICI "(OI)(CI)")
set(icacls_rights_FA F)
set(icacls_rights_FRFX RX)
set(icacls_rights_RC "(RC)")

function(icacls_lookup table key output)
    if(NOT DEFINED icacls_${table}_${key})
        message(FATAL_ERROR "icacls: no ${table} for '${key}' in the folder's SDDL")
    endif()
    set(${output} "${icacls_${table}_${key}}" PARENT_SCOPE)
endfunction()

function(icacls_of sddl owner_output grants_output)
    # The guide removes inherited ACEs with /inheritance:r: the DACL must be protected.
    if(NOT sddl MATCHES "^O:([A-Z][A-Z])D:PAI(\\(.*\\))$")
        message(FATAL_ERROR "icacls: '${sddl}' is not an owner and a protected DACL")
    endif()
    icacls_lookup(sid ${CMAKE_MATCH_1} owner)
    # An ACE's fields are parted by ';', which a CMake list would split at.
    string(REPLACE ";" "|" dacl "${CMAKE_MATCH_2}")
    string(REGEX MATCHALL "\\([^)]*\\)" aces "${dacl}")
    set(grants "")
    foreach(ace IN LISTS aces)
        if(NOT ace MATCHES "^\\(A\\|([A-Z]*)\\|([A-Z]+)\\|\\|\\|([A-Z][A-Z])\\)$")
            message(FATAL_ERROR "icacls: the ACE ${ace} is not one that icacls grants")
        endif()
        icacls_lookup(flags "${CMAKE_MATCH_1}" flags)
        icacls_lookup(rights ${CMAKE_MATCH_2} rights)
        icacls_lookup(sid ${CMAKE_MATCH_3} sid)
        list(APPEND grants "*${sid}:${flags}${rights}")
    endforeach()
    list(JOIN grants " " grants)
    set(${owner_output} "*${owner}" PARENT_SCOPE)
    set(${grants_output} "${grants}" PARENT_SCOPE)
endfunction()
