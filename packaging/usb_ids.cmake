# SPDX-License-Identifier: MIT
# The Vela machine's USB vendor and product ids. No ids are published for the machine: the
# device link finds it by the shape of its interface (bulk IN 0x81 first, bulk OUT 0x02
# third), which a udev rule cannot match on. A distributor or user who knows their machine's
# ids (lsusb shows them as "ID vvvv:pppp") sets both: the udev rule then gives the logged-in
# user access to that device, and "usb" looks at that device only. Empty (the default): the
# rule is installed inactive, with instructions, and "usb" takes the first device of the
# machine's shape.
set(VELA_USB_VENDOR_ID "" CACHE STRING "USB vendor id of the Vela machine (4 hex digits)")
set(VELA_USB_PRODUCT_ID "" CACHE STRING "USB product id of the Vela machine (4 hex digits)")
include(${CMAKE_CURRENT_LIST_DIR}/linux/udev_rule.cmake)
vela_check_usb_ids("${VELA_USB_VENDOR_ID}" "${VELA_USB_PRODUCT_ID}")
