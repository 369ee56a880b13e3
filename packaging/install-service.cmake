# Installs what runs quillmere as a service. Run at install time (install(SCRIPT)),
# so that the prefix given then (cmake --install --prefix, CPack's /usr) is the
# one the unit names:
#   /usr:    /lib/systemd/system, /usr/lib/sysusers.d, /etc
#   PREFIX:  PREFIX/lib/systemd/system, PREFIX/lib/sysusers.d, PREFIX/etc
# The settings file and the logrotate snippet are the administrator's once
# installed: an existing one is never overwritten.
# QUILLMERE_SOURCE_DIR and QUILLMERE_BINARY_DIR are set by the caller.
cmake_minimum_required(VERSION 3.20)

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
  set(sysusers_dir /usr/lib/sysusers.d)
  set(config_dir /etc)
else()
  set(unit_dir ${prefix}/lib/systemd/system)
  set(sysusers_dir ${prefix}/lib/sysusers.d)
  set(config_dir ${prefix}/etc)
endif()

set(QUILLMERE_PROGRAM ${prefix}/bin/quillmere)
set(QUILLMERE_CONFIG_DIR ${config_dir}/quillmere)
set(QUILLMERE_ENV_FILE ${QUILLMERE_CONFIG_DIR}/quillmere.env)
set(staged ${QUILLMERE_BINARY_DIR}/service)
configure_file(${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere.service.in
  ${staged}/quillmere.service @ONLY)
# The template: one instance per configuration repository on the host.
configure_file(${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere@.service.in
  ${staged}/quillmere@.service @ONLY)
configure_file(${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere.sysusers
  ${staged}/quillmere.conf COPYONLY)

set(read_only OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${staged}/quillmere.service
             ${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere.timer
             ${staged}/quillmere@.service
             ${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere@.timer
  DESTINATION ${unit_dir} FILE_PERMISSIONS ${read_only})
file(INSTALL ${staged}/quillmere.conf DESTINATION ${sysusers_dir} FILE_PERMISSIONS ${read_only})

# install_config SOURCE DIR NAME PERMISSIONS...
function(install_config source dir name)
  if(EXISTS "$ENV{DESTDIR}${dir}/${name}")
    message(STATUS "Keeping: $ENV{DESTDIR}${dir}/${name}")
    return()
  endif()
  file(INSTALL ${source} DESTINATION ${dir} RENAME ${name} FILE_PERMISSIONS ${ARGN})
endfunction()
# The token goes in here: owner and group may read it, nobody else.
install_config(${QUILLMERE_SOURCE_DIR}/contrib/systemd/quillmere.env
  ${config_dir}/quillmere quillmere.env OWNER_READ OWNER_WRITE GROUP_READ)
install_config(${QUILLMERE_SOURCE_DIR}/contrib/logrotate/quillmere
  ${config_dir}/logrotate.d quillmere ${read_only})
