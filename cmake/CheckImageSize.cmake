# Run after a link (cmake -DIMAGE=FILE -DBUDGET=BYTES -P CheckImageSize.cmake): an image larger
# on disk than its budget fails the build, naming both.
file(SIZE "${IMAGE}" size)
if(size GREATER BUDGET)
  get_filename_component(name "${IMAGE}" NAME)
  message(FATAL_ERROR "${name} is ${size} bytes on disk, over its budget of ${BUDGET} bytes "
                      "(Tools/size-report.sh shows where the bytes go)")
endif()
