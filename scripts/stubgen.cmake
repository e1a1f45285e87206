# Runs the stub generator for one module (see src/bindings/CMakeLists.txt). A
# failure leaves no stub and a warning: the build goes on, and the next build
# tries again because the stub is missing.
execute_process(
  COMMAND "${PYTHON}" "${SCRIPT}" -q -i "${STAGE}" -m "${MODULE}" -o "${OUT}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  file(REMOVE "${OUT}")
  message(WARNING "no typed stub for ${MODULE}: ${output}")
endif()
