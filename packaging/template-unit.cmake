# pelko@.service, one gateway per bus with /etc/pelko/<instance>.conf, is made
# from pelko.service so that the two never drift apart.
function(pelko_template_unit unit_text out_var)
  set(text "${unit_text}")
  foreach(pair
      "Description=pelko home-automation gateway (field bus <-> server)|Description=pelko home-automation gateway (field bus <-> server), bus %i"
      "/etc/pelko/pelko.conf|/etc/pelko/%i.conf"
      "ExecStart=@PELKO_BINDIR@/pelko\n|ExecStart=@PELKO_BINDIR@/pelko --config /etc/pelko/%i.conf\n"
      # Its own runtime directory: pelko.service removes /run/pelko when it stops.
      "RuntimeDirectory=pelko\n|RuntimeDirectory=pelko-%i\n"
      "(control_socket=/run/pelko/control)|(control_socket=/run/pelko-%i/control)")
    string(FIND "${pair}" "|" bar)
    string(SUBSTRING "${pair}" 0 ${bar} from)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${pair}" ${bar} -1 to)
    string(FIND "${text}" "${from}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "pelko.service no longer holds '${from}': update packaging/template-unit.cmake")
    endif()
    string(REPLACE "${from}" "${to}" text "${text}")
  endforeach()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()
