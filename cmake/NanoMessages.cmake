# kvl_nano_messages(<target> PROTO_DIR <dir> PREFIX <class prefix> REGISTRY <function>
#                   PROTOS <file.proto>...)
# Compiles proto2 schemas for the NANO message runtime: nanopb's generator makes the C
# structures and field tables, scripts/generate_nano_messages.py makes the slot layouts and the
# message classes from the same files. Outputs go to ${CMAKE_CURRENT_BINARY_DIR}, included as
# "<dir relative to the build root>/<stem>.nano.h". Adds a static library <target>.
find_program(KVL_PROTOBUF_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${KVL_PROTOBUF_PYTHON} -c "import google.protobuf"
                RESULT_VARIABLE _kvl_pyprotobuf_missing OUTPUT_QUIET ERROR_QUIET)
if(_kvl_pyprotobuf_missing)
  message(FATAL_ERROR "python3-protobuf is required by the message generator")
endif()

function(kvl_nano_messages target)
  cmake_parse_arguments(ARG "" "PROTO_DIR;PREFIX;REGISTRY" "PROTOS;DEPS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  file(RELATIVE_PATH include_dir ${CMAKE_BINARY_DIR} ${out})
  set(outputs ${out}/${ARG_REGISTRY}.h ${out}/${ARG_REGISTRY}.cc)
  set(sources ${out}/${ARG_REGISTRY}.cc)
  set(inputs)
  foreach(proto IN LISTS ARG_PROTOS)
    get_filename_component(stem ${proto} NAME_WE)
    list(APPEND inputs ${ARG_PROTO_DIR}/${proto})
    if(EXISTS ${ARG_PROTO_DIR}/${stem}.options)
      list(APPEND inputs ${ARG_PROTO_DIR}/${stem}.options)
    endif()
    list(APPEND outputs ${out}/${stem}.pb.c ${out}/${stem}.pb.h ${out}/${stem}.nano.h
         ${out}/${stem}.nano.cc)
    list(APPEND sources ${out}/${stem}.pb.c ${out}/${stem}.nano.cc)
  endforeach()
  set(descriptor ${out}/${ARG_REGISTRY}.desc)
  add_custom_command(
    OUTPUT ${outputs} ${descriptor}
    COMMAND ${PROTOC_EXECUTABLE} -I${ARG_PROTO_DIR}
            --plugin=protoc-gen-nanopb=${NANOPB_PROTOC_PLUGIN}
            --nanopb_out=${out} --nanopb_opt=-I${ARG_PROTO_DIR}
            --descriptor_set_out=${descriptor} --include_imports
            ${ARG_PROTOS}
    COMMAND ${KVL_PROTOBUF_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/generate_nano_messages.py
            --descriptor-set ${descriptor} --out-dir ${out} --include-dir ${include_dir}
            --class-prefix ${ARG_PREFIX} --registry ${ARG_REGISTRY} ${ARG_PROTOS}
    WORKING_DIRECTORY ${ARG_PROTO_DIR}
    DEPENDS ${inputs} ${CMAKE_SOURCE_DIR}/scripts/generate_nano_messages.py
    COMMENT "Generating nanopb code and message layouts for ${target}"
    VERBATIM)
  kvl_library(${target} SOURCES ${sources} DEPS nanopb::protobuf-nanopb-static ${ARG_DEPS})
  # The nanopb library is built with malloc support; every user of its headers must agree.
  target_compile_definitions(${target} PUBLIC PB_ENABLE_MALLOC=1)
endfunction()
