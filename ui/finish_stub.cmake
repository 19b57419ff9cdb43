# Marks the linked stub and checks that it fits:
#   cmake -DSTUB=quorsfx.exe -DLIMIT=bytes -P finish_stub.cmake
#
# The ten bytes "LHA's SFX " at offset 36 lie in reserved fields of the DOS header that the
# Windows loader ignores; archive tools look for them to recognise a self-extractor. The stub
# must end before 32768, the fixed offset of the configuration block, and within LIMIT.
set(limit 32768)
if(DEFINED LIMIT AND LIMIT LESS limit)
  set(limit ${LIMIT})
endif()
set(mark "LHA's SFX ")

file(SIZE "${STUB}" size)
if(size GREATER limit)
  file(REMOVE "${STUB}")  # so that the next build fails again instead of finding it done
  message(FATAL_ERROR "quorsfx: ${STUB} is ${size} bytes, over its limit of ${limit} bytes")
endif()

get_filename_component(dir "${STUB}" DIRECTORY)
set(markFile "${dir}/dos_mark.bin")
file(WRITE "${markFile}" "${mark}")
execute_process(COMMAND dd "if=${markFile}" "of=${STUB}" bs=1 seek=36 conv=notrunc status=none
  RESULT_VARIABLE failed)
file(REMOVE "${markFile}")
if(failed)
  message(FATAL_ERROR "quorsfx: cannot write the DOS mark into ${STUB}")
endif()
message(STATUS "quorsfx: ${STUB}: ${size} bytes (limit ${limit})")
