# SPDX-License-Identifier: MIT
# The cross-built tool run under the emulator, briefly: its version and the
# libraries the target's loader mapped, pack, verify (of its own package
# and of the samples the build packed through the emulator), list, extract,
# a key made, a package signed and its signature checked (libsodium on the
# target), and a damaged package failing.
#   cmake -DEMULATOR=qemu-aarch64|-L|/usr/aarch64-linux-gnu -DTOOL=... -DVERSION=...
#         -DSAMPLE_DIR=... -DWORK=... -P cross_smoke.cmake
# EMULATOR is the emulator's command line with | between its words.
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Runs the tool with ARGN, fails unless it exits with `status` and its
# standard output matches each of the regular expressions in the list
# `patterns`; the output is left in `out`.
function(tool status patterns)
  execute_process(COMMAND ${emulator} ${TOOL} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  string(JOIN " " command ${ARGN})
  if(NOT rc STREQUAL "${status}")
    message(FATAL_ERROR "rerazera ${command}: exit ${rc}, expected ${status}\n${stdout}${stderr}")
  endif()
  foreach(pattern IN LISTS patterns)
    if(NOT stdout MATCHES "${pattern}")
      message(FATAL_ERROR "rerazera ${command}: no match for '${pattern}' in\n${stdout}${stderr}")
    endif()
  endforeach()
  set(out "${stdout}" PARENT_SCOPE)
endfunction()

string(REPLACE "." "\\." version "${VERSION}")
tool(0 "^rerazera ${version}\n;\nlibrerazera ${version}\n;\nlibrerazera-package ${version}\n;\nlibrerazera-sign ${version}\n;\nlibsodium [0-9]+\\.[0-9]+"
     --version)

# Two sub-files packed from a manifest.
file(WRITE ${WORK}/boot.bin "boot loader of the smoke test\n")
string(REPEAT "application block\n" 300 app)
file(WRITE ${WORK}/app.img "${app}")
file(WRITE ${WORK}/fw.manifest
"0x0001 boot.bin boot.bin Boot loader
0x0042 app.img  app.img  Application
")
tool(0 "" pack --product-type 0x2a --manifest fw.manifest -o fw.qv)
tool(0 "^fw\\.qv: ok\n  Info: System software CRC check OK!\n;verified 1 package: 1 ok, 0 failed"
     verify fw.qv)
tool(0 "sample\\.qv: ok\n;sample-ext\\.qv: ok\n;verified 2 packages: 2 ok, 0 failed"
     verify ${SAMPLE_DIR}/sample.qv ${SAMPLE_DIR}/sample-ext.qv)
tool(0 "\nheader +0 +0x00000001 [^\n]* boot\\.bin +Boot loader\n;\nheader +1 +0x00000042 [^\n]* app\\.img +Application\n"
     list fw.qv)

# The payload comes back as it went in.
tool(0 "" extract fw.qv --id 0x0042 --strip -o app.out)
file(READ ${WORK}/app.out extracted)
if(NOT extracted STREQUAL app)
  message(FATAL_ERROR "extract --id 0x0042 --strip: the payload differs from app.img")
endif()

# A key, a signature and its check; another key's check fails.
tool(0 "^key ID ([0-9A-F]+): public key in k\\.pub, secret key in k\\.sec \\(not encrypted\\)\n"
     keygen --unencrypted -p k.pub -s k.sec)
string(REGEX REPLACE "^key ID ([0-9A-F]+):.*" "\\1" key_id "${out}")
tool(0 "" keygen --unencrypted -p other.pub -s other.sec)
tool(0 "^fw\\.qv: signed by ${key_id}\n" sign -s k.sec fw.qv)
if(NOT EXISTS ${WORK}/fw.qv.minisig)
  message(FATAL_ERROR "sign wrote no fw.qv.minisig")
endif()
tool(0 "^fw\\.qv: ok\n;\n  signature: signature valid\n  key ID: ${key_id}\n  trusted comment: [^\n]*file:fw\\.qv"
     verify --key k.pub fw.qv)
tool(1 "^fw\\.qv: FAILED \\(signature\\)\n  signature: signed by an untrusted key\n"
     verify --key other.pub fw.qv)

# The package's last byte, in the application's payload, changed: the
# checksums fail, and with them the signature.
configure_file(${WORK}/fw.qv ${WORK}/bad.qv COPYONLY)
file(SIZE ${WORK}/bad.qv size)
math(EXPR last "${size} - 1")
file(WRITE ${WORK}/x "X")
execute_process(COMMAND dd if=x of=bad.qv bs=1 seek=${last} conv=notrunc status=none
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dd could not damage bad.qv")
endif()
tool(1 "^bad\\.qv: FAILED \\(result -?[0-9]+\\)\n;\n  file crc is not correct\\. fileID =0x42\n;\n  Info: System software CRC check failed!\n;verified 1 package: 0 ok, 1 failed"
     verify bad.qv)
configure_file(${WORK}/fw.qv.minisig ${WORK}/bad.qv.minisig COPYONLY)
tool(1 "^bad\\.qv: FAILED \\(signature\\)\n  signature: signature does not match the file\n"
     verify --key k.pub bad.qv)
