# cmake -DFILE=path -DLIMIT=bytes -P check_size.cmake: fails when FILE is
# missing or not smaller than LIMIT.
file(SIZE "${FILE}" size)
if(NOT size LESS LIMIT)
  message(FATAL_ERROR "${FILE} has ${size} bytes; it must stay under ${LIMIT}")
endif()
message(STATUS "${FILE}: ${size} bytes, under ${LIMIT}")
