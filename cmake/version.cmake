# Writes OUT (kr_version.h) with the release name and build number taken from git in SRC: the name
# is what "git describe --tags" gives, or "<commits>-g<hash>" without a tag; the build number counts
# the commits in the history. Without git history: "unversioned" and 0. Run as cmake -P at each build;
# the file is rewritten only when its text changes, so an unchanged version rebuilds nothing.
set(name "unversioned")
set(build 0)
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SRC} rev-list --count HEAD
    OUTPUT_VARIABLE count RESULT_VARIABLE rc_count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc_count EQUAL 0 AND count MATCHES "^[0-9]+$")
    set(build ${count})
    execute_process(COMMAND ${GIT} -C ${SRC} describe --tags --abbrev=4
      OUTPUT_VARIABLE described RESULT_VARIABLE rc_desc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc_desc EQUAL 0 AND described MATCHES "^[A-Za-z0-9._-]+$")
      set(name ${described})
    else()
      execute_process(COMMAND ${GIT} -C ${SRC} rev-parse --short=4 HEAD
        OUTPUT_VARIABLE hash RESULT_VARIABLE rc_hash OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(rc_hash EQUAL 0 AND hash MATCHES "^[0-9a-f]+$")
        set(name "${count}-g${hash}")
      endif()
    endif()
  endif()
endif()
set(text "/* Generated at build time from git; do not edit. */\n#define KR_VERSION_NAME \"${name}\"\n#define KR_BUILD_NUMBER ${build}u\n")
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
