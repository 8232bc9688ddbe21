# The driver's sources, shared by the firmware image and the host build.
file(GLOB DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/Library/*/*.cpp
  ${CMAKE_SOURCE_DIR}/VeskLapicTimerDxe/*.cpp)
# The board check's own sources; it also takes the driver's library sources, not the driver.
file(GLOB BOARD_CHECK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VeskBoardCheck/*.cpp)

# Assertion reports name source files relative to the tree, in both builds.
set(DRIVER_COMMON_FLAGS
  -Wall -Wextra -Werror
  -fno-exceptions -fno-rtti
  -fstack-protector-strong
  -fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
