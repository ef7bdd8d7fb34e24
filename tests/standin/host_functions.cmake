# The host's plug-in functions, in the order the plug-in binds them.
set(HOST_FUNCTIONS
    _QPARegistCallback@8 _QPASetTimer@12 _QPAKillTimer@4 _QPAIsBusy@0
    _QPAExecQVMail@4 _QPAGetMailbox@0 _QPAGetAccount@4 _QPAGetFolderName@4
    _QPAImportFile@12 _QPASaveMail@16 _QPAMoveMail@8 _QPAMarkMail@12
    _QPADeleteMail@4 _QPAFolderGetCurrentFolder@4 _QPAFolderGetCurrentEntry@4
    _QPAFolderGetSelectEntry@8 _QPAFolderChangePassword@8 _QPAFolderMailTo@8
    _QPAFolderReply@8 _QPAFolderForward@8 _QPAFolderOpenMail@12
    _QPASendGetText@8 _QPASendGetHeader@4 _QPASendSetText@8
    _QPASendSetHeader@8 _QPASendGetEditor@4 _QPAViewGetText@4
    _QPAViewGetHeader@4 _QPAViewSetText@8 _QPAViewGetPath@4
    _QPAViewGetEditor@4 _QPAViewChangeMail@8 _QPASjisToJis@12
    _QPAJisToSjis@12)

# Writes a module-definition file that exports the given host functions
# under their decorated names from an executable.
function(write_host_exports path)
    set(text "EXPORTS\n")
    foreach(name ${ARGN})
        string(SUBSTRING "${name}" 1 -1 symbol)
        string(APPEND text "    ${name} = ${symbol}\n")
    endforeach()
    file(WRITE "${path}" "${text}")
endfunction()
