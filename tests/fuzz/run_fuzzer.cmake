# Runs a fuzzer for SECONDS on a fresh copy of the seed corpus in WORK_DIR;
# fails when the fuzzer reports a finding (crash, leak, sanitizer report,
# slow input or memory limit).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/findings)
file(COPY ${SEEDS}/ DESTINATION ${WORK_DIR}/corpus)

execute_process(
  COMMAND ${FUZZER} ${WORK_DIR}/corpus
    -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=8192
    -print_final_stats=1 -artifact_prefix=${WORK_DIR}/findings/
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

string(REGEX MATCH "stat::number_of_executed_units: [0-9]+" executions "${output}")
message(STATUS "${executions}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "fuzzer finding (status ${status}); inputs in ${WORK_DIR}/findings\n${output}")
endif()
