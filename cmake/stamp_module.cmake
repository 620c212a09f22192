# Gives a linked module an identity of its own in its PE time stamp: the first 32 bits of
# the SHA-256 of its bytes, written by objcopy (which also rewrites the header checksum).
#
#   cmake -DOBJCOPY=<objcopy> -DMODULE=<file> -P stamp_module.cmake
#
# A minidump's record of a module carries its time stamp, size of image and checksum, and
# nothing else that every dump writer fills in (Wine's leaves the CodeView record empty),
# so those three are what tools/read_crash.py matches a player's dump on. A link time as
# the stamp is the same for both flavours built in one second; a digest of the bytes
# differs between flavours and between builds. The module must come from objcopy with
# SOURCE_DATE_EPOCH=0, so the bytes digested do not depend on when the step ran.
# Windows' loader does not look at a DLL's stamp (only bound imports would, and nothing
# binds against the plug-in); symbol stores and crash reports take it as the identity.
if(NOT OBJCOPY OR NOT EXISTS "${MODULE}")
  message(FATAL_ERROR "stamp_module.cmake: OBJCOPY and an existing MODULE are required")
endif()
file(SHA256 "${MODULE}" digest)
string(SUBSTRING "${digest}" 0 8 digest)
math(EXPR stamp "0x${digest}" OUTPUT_FORMAT DECIMAL)
if(stamp EQUAL 0)
  set(stamp 1)  # 0 reads as "no time stamp"
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${stamp} ${OBJCOPY} ${MODULE}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "stamp_module.cmake: objcopy could not stamp ${MODULE}")
endif()
