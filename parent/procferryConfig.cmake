# find_package(procferry): the parent library (procferry::parent) and, as
# imported programs, the two relays (procferry::procferry,
# procferry::procferry-console) and the base library they load
# (procferry::pellix). A program that starts the relay wants all three files
# beside it, or its own way of naming the relay's path.
include("${CMAKE_CURRENT_LIST_DIR}/procferryTargets.cmake")
