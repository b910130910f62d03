# Checks, at configure time, the two keys a build is given:
# - a build that trusts the repository's development key accepts
#   configurations that anyone holding the repository can sign: say so;
# - the sample configuration is signed with MIRDAL_SAMPLE_SIGNING_KEY and
#   must verify with MIRDAL_SIGNING_KEY, or the build makes a sample that it
#   refuses itself: stop, and say which key is missing.
# The public halves are compared through the openssl command; without it the
# check is skipped with a note.

# The public half of a PEM key (private or public) in `out`; empty when the
# file holds no key that openssl reads.
function(mirdal_public_half key out)
  execute_process(COMMAND ${MIRDAL_OPENSSL} pkey -in ${key} -pubout
                  OUTPUT_VARIABLE public RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    execute_process(COMMAND ${MIRDAL_OPENSSL} pkey -pubin -in ${key} -pubout
                    OUTPUT_VARIABLE public RESULT_VARIABLE status ERROR_QUIET)
  endif()
  if(NOT status EQUAL 0)
    set(public "")
  endif()
  set(${out} "${public}" PARENT_SCOPE)
endfunction()

function(mirdal_is_private key out)
  execute_process(COMMAND ${MIRDAL_OPENSSL} pkey -in ${key} -noout
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Whether the trusted key is the development key: by its file here, by its
# public half below where openssl can tell (the package's version says so).
get_filename_component(trusted_file "${MIRDAL_SIGNING_KEY}" REALPATH)
get_filename_component(development_file "${CMAKE_SOURCE_DIR}/keys/dev-signing-key.pem" REALPATH)
if(trusted_file STREQUAL development_file)
  set(MIRDAL_TRUSTS_DEVELOPMENT_KEY TRUE)
else()
  set(MIRDAL_TRUSTS_DEVELOPMENT_KEY FALSE)
endif()

find_program(MIRDAL_OPENSSL openssl)
if(NOT MIRDAL_OPENSSL)
  message(STATUS "openssl command not found: the signing keys are not compared at configure time")
  return()
endif()

foreach(key MIRDAL_SIGNING_KEY MIRDAL_SAMPLE_SIGNING_KEY)
  if(NOT EXISTS "${${key}}")
    message(FATAL_ERROR "${key}: no file at ${${key}}")
  endif()
endforeach()

mirdal_public_half(${MIRDAL_SIGNING_KEY} trusted)
mirdal_public_half(${CMAKE_SOURCE_DIR}/keys/dev-signing-key.pem development)
mirdal_public_half(${MIRDAL_SAMPLE_SIGNING_KEY} sample)
mirdal_is_private(${MIRDAL_SAMPLE_SIGNING_KEY} sample_is_private)

if(trusted STREQUAL "")
  message(FATAL_ERROR "MIRDAL_SIGNING_KEY (${MIRDAL_SIGNING_KEY}) holds no PEM key that openssl reads")
endif()
if(trusted STREQUAL development)
  set(MIRDAL_TRUSTS_DEVELOPMENT_KEY TRUE)
  message(WARNING
    "This build trusts the development signing key (keys/dev-signing-key.pem): anyone holding the "
    "repository can sign a configuration that it accepts. Fine for development and tests; a build "
    "for technicians takes the maker's key: -DMIRDAL_SIGNING_KEY=/path/to/maker-public.pem")
endif()
if(NOT sample_is_private OR NOT sample STREQUAL trusted)
  message(FATAL_ERROR
    "The sample configuration is signed with MIRDAL_SAMPLE_SIGNING_KEY (${MIRDAL_SAMPLE_SIGNING_KEY}), "
    "which is not the private key matching MIRDAL_SIGNING_KEY (${MIRDAL_SIGNING_KEY}): this build "
    "would refuse its own sample. Give -DMIRDAL_SAMPLE_SIGNING_KEY=/path/to/matching-private.pem")
endif()
