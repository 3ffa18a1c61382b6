# find_package(serchan32): the imported target serchan32::serchan32.
include(${CMAKE_CURRENT_LIST_DIR}/serchan32Targets.cmake)
