cmake_minimum_required(VERSION 3.16)
# Packs what an administrator downloads, in two forms: the zip and the
# Windows Installer package (packaging/tolvane.wxs, built by
# packaging/build-msi). Both hold the stripped executable, the administrator's
# pages (README.txt and those of docs/, as tools/readme-text names them), the
# example route file and the licence (text with Windows line ends); the zip also the scripts of packaging/scripts and the
# Group Policy template of packaging/policy, in folders of the same names, and
# SHA256SUMS.txt with the checksum of each.
# Beside the two packages, tolvane-<version>-SHA256SUMS.txt holds the checksum
# of each package, the MSI (the file a fleet deploys) included.
# The same commit packs to the same bytes: the entries are dated with the
# commit's time (or SOURCE_DATE_EPOCH, when set) and have a fixed order and
# fixed permissions.
#
# With SIGN_PKCS12 and SIGN_PASSWORD_FILE in the environment (see
# packaging/sign), the executable is signed before it is packed, and the MSI
# once built; a signature carries its own time, so signed packages are not
# the same bytes twice.
#
# Run as: cmake -DSOURCE_DIR=... -DEXE=.../tolvane.exe -DPYTHON=... -DSTAGE=<scratch folder>
#               -DPACKAGE=.../tolvane-<version>-win64.zip -DVERSION=<version>
#               -DMSI=.../tolvane-<version>-x64.msi -P package.cmake

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "No commit to date the package with: "
                      "${SOURCE_DIR} is not a git checkout and SOURCE_DATE_EPOCH is not set")
endif()

set(text ${STAGE}/text)
set(files ${STAGE}/files)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${text})


function(windows_text source name)
  file(READ ${source} content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${text}/${name} "${content}")
endfunction()
# The administrator's pages, as text: README.txt and one file per page of docs/.
execute_process(COMMAND ${PYTHON} ${SOURCE_DIR}/tools/readme-text --names
                OUTPUT_VARIABLE listed RESULT_VARIABLE failed)
string(REGEX REPLACE "\n$" "" listed "${listed}")
string(REPLACE "\n" ";" listed "${listed}")
set(pages "")
foreach(entry IN LISTS listed)
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 source)
  list(GET entry 1 name)
  execute_process(COMMAND ${PYTHON} ${SOURCE_DIR}/tools/readme-text ${SOURCE_DIR}/${source}
                  OUTPUT_FILE ${text}/${name}.md RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "tools/readme-text could not make ${name} of ${source}")
  endif()
  windows_text(${text}/${name}.md ${name})
  list(APPEND pages ${name})
endforeach()
windows_text(${SOURCE_DIR}/etc/ROUTE.example ROUTE.example)
windows_text(${SOURCE_DIR}/LICENSE LICENSE.txt)
# The scripts an administrator runs and the Group Policy template, each in a
# folder of their own (zip only).
set(extras scripts/install.cmd scripts/detect.ps1 scripts/remediate.ps1 scripts/discover.ps1
    policy/tolvane.admx policy/en-US/tolvane.adml)
foreach(name IN LISTS extras)
  windows_text(${SOURCE_DIR}/packaging/${name} ${name})
endforeach()

set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY ${EXE} DESTINATION ${files}
     FILE_PERMISSIONS ${readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

set(sign "")
if(NOT "$ENV{SIGN_PKCS12}" STREQUAL "")
  set(sign ${SOURCE_DIR}/packaging/sign)
endif()
function(sign_file path)
  if(sign)
    execute_process(COMMAND ${sign} ${path} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not sign ${path}")
    endif()
  endif()
endfunction()
sign_file(${files}/tolvane.exe)
set(contents tolvane.exe ${pages} ROUTE.example LICENSE.txt ${extras})
set(sums "")
foreach(name IN LISTS contents)
  if(NOT name STREQUAL "tolvane.exe")
    get_filename_component(folder ${files}/${name} DIRECTORY)
    file(COPY ${text}/${name} DESTINATION ${folder} FILE_PERMISSIONS ${readable})
  endif()
  file(SHA256 ${files}/${name} sum)
  string(APPEND sums "${sum}  ${name}\r\n")
endforeach()
file(WRITE ${text}/SHA256SUMS.txt "${sums}")
file(COPY ${text}/SHA256SUMS.txt DESTINATION ${files} FILE_PERMISSIONS ${readable})

# The archive takes every time of an entry from SOURCE_DATE_EPOCH; the zip
# format's local date and time are read in TZ.
file(REMOVE ${PACKAGE})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch} TZ=UTC
          ${CMAKE_COMMAND} -E tar cf ${PACKAGE} --format=zip ${contents} SHA256SUMS.txt
  WORKING_DIRECTORY ${files} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Could not write ${PACKAGE}")
endif()

# The MSI installs the files just packed, the executable signed or not as it is.
file(REMOVE ${MSI})
execute_process(
  COMMAND ${SOURCE_DIR}/packaging/build-msi ${SOURCE_DIR}/packaging/tolvane.wxs ${VERSION}
          ${files} ${epoch} ${MSI}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Could not build ${MSI}")
endif()
sign_file(${MSI})

# In the form `sha256sum -c` reads, with Windows line ends.
get_filename_component(out ${PACKAGE} DIRECTORY)
set(sums "")
foreach(path ${PACKAGE} ${MSI})
  file(SHA256 ${path} sum)
  get_filename_component(name ${path} NAME)
  string(APPEND sums "${sum}  ${name}\r\n")
endforeach()
file(WRITE ${out}/tolvane-${VERSION}-SHA256SUMS.txt "${sums}")
