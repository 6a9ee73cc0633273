# SPDX-License-Identifier: MIT
# The udev rule for the Vela machine, written from 70-vela.rules.in for a vendor and product
# id (4 hex digits each, or both empty for an inactive rule). Included by the build, and run
# on its own by the packaging test:
#   cmake -DVENDOR=vvvv -DPRODUCT=pppp -DOUT=file -P udev_rule.cmake

# Stops the configuration unless vendor and product are both empty or both 4 hex digits.
function(vela_check_usb_ids vendor product)
    foreach(id IN ITEMS "${vendor}" "${product}")
        if(NOT id STREQUAL "" AND NOT id MATCHES "^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$")
            message(FATAL_ERROR "a USB id is 4 hex digits, not '${id}'")
        endif()
    endforeach()
    if((vendor STREQUAL "") AND NOT (product STREQUAL "")
       OR NOT (vendor STREQUAL "") AND (product STREQUAL ""))
        message(FATAL_ERROR "the USB vendor and product ids are given together or not at all")
    endif()
endfunction()

# Writes the rule to out.
function(vela_write_udev_rule out vendor product)
    vela_check_usb_ids("${vendor}" "${product}")
    # sysfs spells the ids in lower case, and udev compares them as text.
    string(TOLOWER "${vendor}" vendor)
    string(TOLOWER "${product}" product)
    set(match "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\"")
    if(vendor STREQUAL "")
        set(VELA_UDEV_IDS "No ids were given when this package was built, so the rule is not active.")
        set(VELA_UDEV_RULE
            "#${match}, ATTR{idVendor}==\"vvvv\", ATTR{idProduct}==\"pppp\", TAG+=\"uaccess\"")
    else()
        set(VELA_UDEV_IDS "This package was built for the ids ${vendor}:${product}.")
        set(VELA_UDEV_RULE
            "${match}, ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", TAG+=\"uaccess\"")
    endif()
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/70-vela.rules.in ${out} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    vela_write_udev_rule("${OUT}" "${VENDOR}" "${PRODUCT}")
endif()
