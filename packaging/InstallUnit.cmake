# Runs inside `cmake --install`: writes kestrove.service into <prefix>/lib/systemd/system with the program's
# installed path in ExecStart (the source unit names the default, /usr/local/bin/kestrove).
file(READ "${KESTROVE_UNIT_SOURCE}" unit)
set(default_start "ExecStart=/usr/local/bin/kestrove ")
string(FIND "${unit}" "${default_start}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${KESTROVE_UNIT_SOURCE} does not start ${default_start}")
endif()
string(REPLACE "${default_start}" "ExecStart=${CMAKE_INSTALL_PREFIX}/bin/kestrove " unit "${unit}")
set(unit_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
message(STATUS "Installing: ${unit_dir}/kestrove.service")
file(MAKE_DIRECTORY "${unit_dir}")
file(WRITE "${unit_dir}/kestrove.service" "${unit}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_dir}/kestrove.service")
