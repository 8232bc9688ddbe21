#!/usr/bin/env bash
# Turns code addresses of the driver into functions and source lines, from the debug information
# that the build writes beside the image (the image itself carries none).
#
#   Tools/symbolize.sh [--debug FILE] [--load ADDRESS] PLACE...
#
#   PLACE   VeskLapicTimerDxe+0xOFFSET   as a stack-fault report prints it
#           0xOFFSET                     an offset into the loaded image
#           0xADDRESS                    with --load: an instruction pointer seen at run time
#   --load ADDRESS   where the firmware loaded the image (bare addresses are then absolute)
#   --debug FILE     the debug file (default: the build's, build/image/VeskLapicTimerDxe.debug,
#                    or else the release's, build/release/VeskLapicTimerDxe.debug; when both are
#                    there and their images differ, name one)
#
# Prints, for each place, the function and file:line, and the functions it is inlined into.
# Exits 1 if a place is malformed or outside the driver's code.
exec python3 "$(dirname "$0")/symbolize.py" "$@"
