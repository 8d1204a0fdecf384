# Our SVG pictures as PNGs for a Qt without its SVG module (the Qt for Windows, when Debian's
# archive had no qt6-svg source to build it from): each drawn at build time at its own size and
# at twice that, as ":/pictures/<name>.png" and "<name>@2x.png" of laser_ui.
find_program(LASER_RSVG_CONVERT rsvg-convert)
if(NOT LASER_RSVG_CONVERT)
  message(FATAL_ERROR "Qt has no SVG module here: the pictures are drawn with rsvg-convert "
                      "(Debian: librsvg2-bin; scripts/setup.sh installs it)")
endif()
file(GLOB picture_svgs ${PROJECT_SOURCE_DIR}/ui/resources/*.svg)
set(picture_dir ${CMAKE_CURRENT_BINARY_DIR}/png-pictures)
set(picture_pngs)
foreach(svg ${picture_svgs})
  get_filename_component(name ${svg} NAME_WE)
  foreach(scale 1 2)
    if(scale EQUAL 1)
      set(png ${picture_dir}/${name}.png)
    else()
      set(png ${picture_dir}/${name}@${scale}x.png)
    endif()
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${picture_dir}
      COMMAND ${LASER_RSVG_CONVERT} -z ${scale} -o ${png} ${svg}
      DEPENDS ${svg} VERBATIM)
    list(APPEND picture_pngs ${png})
  endforeach()
endforeach()
qt_add_resources(laser_ui png_pictures PREFIX /pictures BASE ${picture_dir} FILES ${picture_pngs})
target_compile_definitions(laser_ui PRIVATE LASER_PNG_PICTURES)
