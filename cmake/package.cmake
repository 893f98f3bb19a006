# The identities of the Windows Installer packages (release/pelmorane.wxs), written for wixl
# into package.wxi in the build tree; the operator's guide gives them too.
#
# A package line is a build with or without kiv.exe. Each line keeps its UpgradeCode for good:
# fleet tools detect the product by it, and a package upgrades only an older one of its own line.
# The ProductCode is a name-based UUID of the line's UpgradeCode and the version, so that one
# version of one line has one ProductCode, whoever builds it.
set(UPGRADE_CODE_x86 7CDBC4E8-69B7-4C1C-BABB-6D9B69306324)
set(UPGRADE_CODE_x64 174BBEAE-7AF3-4AF8-A67D-744FDD17D3B9)
set(UPGRADE_CODE_x86_KIV 8C14AB94-DFCF-42BD-AC84-BF73C6CBA284)
set(UPGRADE_CODE_x64_KIV 9EBF7624-BAF5-4522-AE41-36B1CA7E5E92)

# The publisher, as the version resource names it.
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/version.rc company REGEX "\"CompanyName\"")
string(REGEX REPLACE ".*\"CompanyName\", *\"([^\"]*)\".*" "\\1" PACKAGE_MANUFACTURER "${company}")

function(product_code line output)
    string(UUID code NAMESPACE ${UPGRADE_CODE_${line}} NAME ${PELMORANE_VERSION} TYPE SHA1 UPPER)
    set(${output} ${code} PARENT_SCOPE)
endfunction()

# Every line's ProductCode of this version, for the operator's guide.
foreach(line x86 x64 x86_KIV x64_KIV)
    product_code(${line} PRODUCT_CODE_${line})
endforeach()

if(PELMORANE_BUILD STREQUAL win64)
    set(PACKAGE_ARCH x64)
    set(PACKAGE_OTHER_ARCH x86)
else()
    set(PACKAGE_ARCH x86)
    set(PACKAGE_OTHER_ARCH x64)
endif()
set(PACKAGE_PRODUCT_CODE ${PRODUCT_CODE_${PACKAGE_ARCH}})
set(PACKAGE_PRODUCT_CODE_KIV ${PRODUCT_CODE_${PACKAGE_ARCH}_KIV})
set(PACKAGE_UPGRADE_CODE ${UPGRADE_CODE_${PACKAGE_ARCH}})
set(PACKAGE_UPGRADE_CODE_KIV ${UPGRADE_CODE_${PACKAGE_ARCH}_KIV})
set(PACKAGE_OTHER_UPGRADE_CODE ${UPGRADE_CODE_${PACKAGE_OTHER_ARCH}})
set(PACKAGE_OTHER_UPGRADE_CODE_KIV ${UPGRADE_CODE_${PACKAGE_OTHER_ARCH}_KIV})
configure_file(${PROJECT_SOURCE_DIR}/release/package.wxi.in package.wxi @ONLY)
