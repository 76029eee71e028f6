# Fails when the committed fixture arrays differ from what the generator writes
# from the card shapes now, so the firmware tests never run on stale cards.
#   cmake -DGENERATOR=<card_fixture_arrays> -DCOMMITTED=<card_fixtures.inc> -DFRESH=<scratch file> -P ...
execute_process(COMMAND "${GENERATOR}" "${FRESH}" RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "card_fixture_arrays failed: ${Result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${COMMITTED}" "${FRESH}" RESULT_VARIABLE Differs)
if(NOT Differs EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} is out of date with the card shapes; "
                      "run: cmake --build build/host --target update_card_fixture_arrays")
endif()
message(STATUS "card fixture arrays up to date")
