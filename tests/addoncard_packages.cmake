# Runs `addoncard packages` into a fresh directory and checks that both files
# came out whole: their sizes, the UINT32 length each starts with, and the
# header of the first package in each.
#   cmake -DTOOL=<addoncard> -DDIR=<scratch directory> -P addoncard_packages.cmake
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}")
execute_process(COMMAND "${TOOL}" packages "${DIR}" RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "addoncard packages failed: ${Result}")
endif()

function(check_file Name ExpectedSize ExpectedStart)
  file(SIZE "${DIR}/${Name}" Size)
  file(READ "${DIR}/${Name}" Start LIMIT 8 HEX)
  if(NOT Size EQUAL ExpectedSize OR NOT Start STREQUAL ExpectedStart)
    message(FATAL_ERROR "${Name}: ${Size} bytes starting ${Start}, expected ${ExpectedSize} starting ${ExpectedStart}")
  endif()
endfunction()

check_file(strings.bin 1932 "8c07000090050004")  # 0x78C, then the en-US package (0x590, type 4)
check_file(forms.bin 2109 "3d08000039080002")    # 0x83D, then the form package (0x839, type 2)
