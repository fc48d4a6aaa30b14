# Build rules that give each MEX deliverable its platform name and exports.
#
# ZEB_MEX_PLATFORM is MATLAB's extension of the platform being built
# (mexa64, mexglx, mexw64, mexw32, mexmaci64, mexmaca64). Deliverables go to
# ${ZEB_OUTPUT_ROOT}/<platform>/, Octave plug-ins to ${ZEB_OUTPUT_ROOT}/octave/.

set(ZEB_MEX_DIR ${CMAKE_CURRENT_LIST_DIR}/../mex)
get_filename_component(ZEB_MEX_DIR ${ZEB_MEX_DIR} ABSOLUTE)

if(ZEB_LD64)
  # macOS bundles cross-built here are linked by ld64.lld itself, not through
  # the compiler driver: for macOS 11.0 and later, one architecture each
  # (x86_64 or arm64; arm64 output is signed ad hoc, as macOS requires).
  set(CMAKE_CXX_CREATE_SHARED_MODULE
      "${ZEB_LD64} -arch ${ZEB_LD64_ARCH} -platform_version macos 11.0 11.0 -bundle <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "")
endif()

# Per-platform table: the file base name a module ships under.
function(zeb_mex_file_name module platform out)
  set(name ${module})
  if(module STREQUAL "obliqueVote")
    set(name zebUtilObliqueVote)
  elseif(module STREQUAL "logTotals" AND platform STREQUAL "mexw64")
    set(name zebUtilLogTotals)
  endif()
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# Per-platform table: the name under which the gateway is exported.
function(zeb_mex_export_name module platform out)
  set(name mexFunction)
  if(module STREQUAL "obliqueVote" AND platform STREQUAL "mexw32")
    set(name _mexFunction)
  endif()
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# zeb_add_mex(<module> SOURCES <files...> [HELP <file.m>])
# Builds the module for ZEB_MEX_PLATFORM against the stand-in host libraries
# (target <module>_mex) and, when ZEB_OCTAVE is on, for GNU Octave through
# mkoctfile (target <module>_octave). Sources are relative to the caller.
function(zeb_add_mex module)
  cmake_parse_arguments(ARG "" "HELP" "SOURCES" ${ARGN})
  set(platform ${ZEB_MEX_PLATFORM})
  zeb_mex_file_name(${module} ${platform} fileName)

  set(sources)
  foreach(s ${ARG_SOURCES})
    get_filename_component(abs ${s} ABSOLUTE)
    list(APPEND sources ${abs})
  endforeach()

  set(target ${module}_mex)
  set(extra)
  # The Linux builds (and the Linux aarch64 test build, which takes the
  # Linux x86-64 files' interface) export mexVersion too.
  set(linux OFF)
  if(platform STREQUAL "mexa64" OR platform STREQUAL "mexglx" OR platform STREQUAL "linux-aarch64")
    set(linux ON)
  endif()
  if(linux)
    list(APPEND extra ${ZEB_MEX_DIR}/mexversion.cpp)
  endif()
  add_library(${target} MODULE ${sources} ${extra})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".${platform}"
    OUTPUT_NAME ${fileName}
    LIBRARY_OUTPUT_DIRECTORY ${ZEB_OUTPUT_ROOT}/${platform}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${ZEB_MEX_DIR} ${ZEB_MEX_DIR}/../kernel)
  if(platform STREQUAL "mexglx")
    target_compile_definitions(${target} PRIVATE MEXHOST_UNSUFFIXED)
  elseif(platform STREQUAL "mexmaca64")
    target_compile_definitions(${target} PRIVATE MEXHOST_LARGE_ARRAY_DIMS)
  endif()
  if(linux)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${ZEB_MEX_DIR}/mexFunction.map
      -Wl,--no-undefined -Wl,--no-as-needed
      -static-libstdc++ -static-libgcc)
    target_link_libraries(${target} PRIVATE standin_mx standin_mex standin_mat)
  elseif(platform STREQUAL "mexw64" OR platform STREQUAL "mexw32")
    # Exports named by a .def file; the host's DLLs through import libraries
    # made from the project's own lists of the operations used.
    zeb_mex_export_name(${module} ${platform} exportName)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${module}_exports.def)
    if(exportName STREQUAL "mexFunction")
      file(WRITE ${def} "EXPORTS\n    mexFunction\n")
    else()
      file(WRITE ${def} "EXPORTS\n    ${exportName} = mexFunction\n")
    endif()
    target_sources(${target} PRIVATE ${def})
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -static)
    target_link_libraries(${target} PRIVATE zeb_import_mx zeb_import_mex)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZEB_OUTPUT_ROOT}/${platform})
  elseif(platform MATCHES "^mexmac")
    # A bundle (CMake's MODULE on macOS) exporting only _mexFunction, bound
    # two-level to MATLAB's libmx, libmex and libmat through the project's
    # text stubs of them (mex/macos/*.tbd: the operations the modules use,
    # install names @rpath/lib*.dylib).
    set(list ${CMAKE_CURRENT_BINARY_DIR}/${module}_exports.txt)
    file(WRITE ${list} "_mexFunction\n")
    if(ZEB_LD64)
      target_link_options(${target} PRIVATE -exported_symbols_list ${list} -L${ZEB_MACOS_LIBSYSTEM_DIR} -lSystem.11)
    else()
      target_link_options(${target} PRIVATE -Wl,-exported_symbols_list,${list})
    endif()
    target_link_libraries(${target} PRIVATE ${ZEB_MEX_DIR}/macos/libmx.tbd ${ZEB_MEX_DIR}/macos/libmex.tbd
                                            ${ZEB_MEX_DIR}/macos/libmat.tbd)
  endif()
  set_property(GLOBAL APPEND PROPERTY ZEB_MEX_MODULES ${module})

  if(ARG_HELP)
    configure_file(${ARG_HELP} ${ZEB_OUTPUT_ROOT}/${platform}/${fileName}.m COPYONLY)
  endif()

  if(ZEB_OCTAVE)
    # mkoctfile sees no header dependencies: every header a module may
    # include rebuilds it.
    file(GLOB headers ${ZEB_MEX_DIR}/*.h ${ZEB_MEX_DIR}/../kernel/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    zeb_mex_file_name(${module} octave octName)
    set(out ${ZEB_OUTPUT_ROOT}/octave/${octName}.mex)
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEB_OUTPUT_ROOT}/octave
      COMMAND ${CMAKE_COMMAND} -E env "CXXFLAGS=${ZEB_NUMERIC_FLAGS}" "CFLAGS=${ZEB_NUMERIC_FLAGS}"
              ${ZEB_MKOCTFILE} --mex -DMEXHOST_OCTAVE -I${ZEB_MEX_DIR} -I${ZEB_MEX_DIR}/../kernel
              -o ${out} ${sources}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      DEPENDS ${sources} ${headers}
      COMMENT "Building Octave plug-in ${octName}.mex"
      VERBATIM)
    add_custom_target(${module}_octave ALL DEPENDS ${out})
    add_dependencies(octave_plugins ${module}_octave)
    if(ZEB_OCTAVE_ASAN)
      # The same plug-in under AddressSanitizer, for Octave's own arrays to
      # check every read and write of the module (octave-asan/).
      set(asanOut ${ZEB_OUTPUT_ROOT}/octave-asan/${octName}.mex)
      set(asanFlags "${ZEB_NUMERIC_FLAGS} -fsanitize=address -fno-omit-frame-pointer")
      add_custom_command(
        OUTPUT ${asanOut}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEB_OUTPUT_ROOT}/octave-asan
        COMMAND ${CMAKE_COMMAND} -E env "CXXFLAGS=${asanFlags}" "CFLAGS=${asanFlags}" "LDFLAGS=-fsanitize=address"
                ${ZEB_MKOCTFILE} --mex -DMEXHOST_OCTAVE -I${ZEB_MEX_DIR} -I${ZEB_MEX_DIR}/../kernel
                -o ${asanOut} ${sources}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/asan
        DEPENDS ${sources} ${headers}
        COMMENT "Building Octave plug-in ${octName}.mex under AddressSanitizer"
        VERBATIM)
      file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/asan)
      add_custom_target(${module}_octave_asan ALL DEPENDS ${asanOut})
      if(ARG_HELP)
        configure_file(${ARG_HELP} ${ZEB_OUTPUT_ROOT}/octave-asan/${octName}.m COPYONLY)
      endif()
    endif()
    if(ARG_HELP)
      configure_file(${ARG_HELP} ${ZEB_OUTPUT_ROOT}/octave/${octName}.m COPYONLY)
    endif()
  endif()
endfunction()
