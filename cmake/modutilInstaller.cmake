# modutil_add_installer(<name> VERSION <x.y.z> COMPONENTS <targets or files...>
#                       [FILES <files...>] [MANUFACTURER <text>] [PER_USER]
#                       [UPGRADE_CODE <guid>] [WXS <files...>])
#
# A Windows Installer package of a whole shell, <name>-<version>-<win32|win64>.msi
# in the build directory, built with every build: the SDK's launcher.exe,
# shellwatch.exe, modutil.dll, shellctl.exe and componentcheck.exe, the
# component libraries given (targets of modutil_add_component, or files;
# never their PDBs) and the configuration files named, installed into
# [ProgramFilesFolder]\<name> (PER_USER: the user's own programs folder).
# The upgrade code, and so the identity of the product across versions,
# is UPGRADE_CODE where given, else derived from the name (the same name
# gives the same code, in any build): a newer version installs over an older
# one as a major upgrade. Give it to keep a product's identity when its name
# changes, or to take over a package made another way.
#
# WXS: WiX sources of the author's own, compiled into the package beside
# the generated one: each a <Wix><Fragment> whose components (shortcuts,
# registry values, a licence file: a File's Source given as a full path)
# are listed in <ComponentGroup Id="ExtraComponents">, which the package's
# one feature installs; INSTALLDIR is the installation's directory.
#
# Its public property SETSHELL: "user" runs `shellctl install` for the
# installing user at the end of the install, "machine" `shellctl install
# --all-users`, empty (the default) installs the files only. A failing check
# fails the install, with shellctl's reason in the installer's log, and
# leaves nothing behind. The package remembers SETSHELL and INSTALLDIR (the
# latter also as Apps & features' InstallLocation): a repair, or a newer
# version installed without SETSHELL, only checks the installation again
# where a Shell value still starts it (`install --if-shell`), never over a
# value the user changed since. Removing the package runs `shellctl
# uninstall` for the removing user and for the machine first, whatever
# SETSHELL was (the user may have run shellctl by hand), so every Shell value
# that starts this installation is put back before the files go; where one
# cannot be, the removal fails with the reason in the log and keeps the
# files. A major upgrade installs the newer version first and removes the
# older one after it (RemoveExistingProducts after InstallFinalize; the
# components keep their GUIDs across versions, so the files stay): a newer
# version that fails leaves the older one as it was, and the older one's
# removal leaves the shell setting to the newer version.
#
# Built with wixl and msibuild (Debian's wixl and msitools); signed, with
# every binary in it, when a certificate is named (modutilSigning.cmake).
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/modutilSigning.cmake)

# Fixed for ever: the namespace of every GUID the packages derive from names.
set(MODUTIL_INSTALLER_NAMESPACE "5b0c6c5e-3f1d-4b8e-9a54-0d1f2a7c9e31")

function(modutil_add_installer name)
  cmake_parse_arguments(ARG "PER_USER" "VERSION;MANUFACTURER;UPGRADE_CODE" "COMPONENTS;FILES;WXS" ${ARGN})
  if(NOT ARG_VERSION OR NOT ARG_COMPONENTS)
    message(FATAL_ERROR "usage: modutil_add_installer(<name> VERSION <x.y.z> COMPONENTS <targets or files...> "
                        "[FILES <files...>] [MANUFACTURER <text>] [PER_USER] [UPGRADE_CODE <guid>] [WXS <files...>])")
  endif()
  if(ARG_UPGRADE_CODE AND NOT ARG_UPGRADE_CODE MATCHES "^{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}}?$")
    message(FATAL_ERROR "modutil_add_installer: UPGRADE_CODE ${ARG_UPGRADE_CODE} is no GUID")
  endif()
  set(extra_wxs "")
  set(extra_refs "")
  if(ARG_WXS)
    set(extra_refs "      <ComponentGroupRef Id=\"ExtraComponents\"/>\n")
  endif()
  foreach(file IN LISTS ARG_WXS)
    get_filename_component(path ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(NOT EXISTS ${path})
      message(FATAL_ERROR "modutil_add_installer: WXS ${file}: no such file")
    endif()
    list(APPEND extra_wxs ${path})
  endforeach()
  if(NOT ARG_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "modutil_add_installer: VERSION ${ARG_VERSION}: Windows Installer takes major.minor.build")
  endif()
  if(NOT ARG_MANUFACTURER)
    set(ARG_MANUFACTURER "${name}")
  endif()
  find_program(MODUTIL_WIXL wixl)
  find_program(MODUTIL_MSIBUILD msibuild)
  if(NOT MODUTIL_WIXL OR NOT MODUTIL_MSIBUILD)
    message(FATAL_ERROR "modutil_add_installer needs wixl and msibuild (Debian: apt install wixl msitools)")
  endif()
  if(NOT DEFINED MODUTIL_BIN_DIR OR NOT DEFINED MODUTIL_INSTALLER_ACTION)
    message(FATAL_ERROR "modutil_add_installer: take it from the SDK, with find_package(modutil)")
  endif()

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch win64)
    set(wixl_arch x64)
    set(programs ProgramFiles64Folder)
    set(win64 yes)
  else()
    set(arch win32)
    set(wixl_arch x86)
    set(programs ProgramFilesFolder)
    set(win64 no)
  endif()
  if(ARG_PER_USER)
    set(scope perUser)
    set(root HKCU)
    set(programs_xml "<Directory Id=\"LocalAppDataFolder\"><Directory Id=\"UserPrograms\" Name=\"Programs\">")
    set(programs_end "</Directory></Directory>")
  else()
    set(scope perMachine)
    set(root HKLM)
    set(programs_xml "<Directory Id=\"${programs}\">")
    set(programs_end "</Directory>")
  endif()
  if(ARG_UPGRADE_CODE)
    string(REGEX REPLACE "[{}]" "" upgrade ${ARG_UPGRADE_CODE})
    string(TOUPPER ${upgrade} upgrade)
  else()
    string(UUID upgrade NAMESPACE ${MODUTIL_INSTALLER_NAMESPACE} NAME "${name}" TYPE SHA1 UPPER)
  endif()
  string(UUID product NAMESPACE ${upgrade} NAME "${ARG_VERSION}-${arch}" TYPE SHA1 UPPER)

  # What goes in: id, and the file (a generator expression for a target).
  set(sources "")
  set(ids "")
  foreach(file launcher.exe shellwatch.exe modutil.dll shellctl.exe componentcheck.exe)
    if(EXISTS ${MODUTIL_BIN_DIR}/${file})
      list(APPEND sources ${MODUTIL_BIN_DIR}/${file})
      string(MAKE_C_IDENTIFIER "f_${file}" id)
      list(APPEND ids ${id})
    endif()
  endforeach()
  foreach(item IN LISTS ARG_COMPONENTS ARG_FILES)
    if(TARGET ${item})
      list(APPEND sources $<TARGET_FILE:${item}>)
      string(MAKE_C_IDENTIFIER "t_${item}" id)
    else()
      get_filename_component(path ${item} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      if(NOT EXISTS ${path})
        message(FATAL_ERROR "modutil_add_installer: ${item} is neither a target nor a file")
      endif()
      get_filename_component(file ${path} NAME)
      list(APPEND sources ${path})
      string(MAKE_C_IDENTIFIER "f_${file}" id)
    endif()
    list(APPEND ids ${id})
  endforeach()

  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${name}-msi)
  set(components "")
  set(refs "")
  foreach(source id IN ZIP_LISTS sources ids)
    string(UUID guid NAMESPACE ${upgrade} NAME "${id}" TYPE SHA1 UPPER)
    # wixl takes relative sources only: the staged copy, named as the file.
    string(APPEND components
      "          <Component Id=\"${id}\" Guid=\"${guid}\" Win64=\"${win64}\">\n"
      "            <File Id=\"${id}\" Source=\"files/$<PATH:GET_FILENAME,${source}>\" KeyPath=\"yes\"/>\n"
      "          </Component>\n")
    string(APPEND refs "      <ComponentRef Id=\"${id}\"/>\n")
  endforeach()
  string(UUID remembered NAMESPACE ${upgrade} NAME "remembered SETSHELL" TYPE SHA1 UPPER)
  set(key "Software\\${ARG_MANUFACTURER}\\${name}")

  # The shell setting. Installing runs the installed shellctl.exe (which
  # checks first) last before InstallFinalize: a failure rolls everything
  # back. Removing puts back, for both hives, a Shell value that starts this
  # installation, before the files go. A rollback repair, placed before the
  # files are installed so that it runs after their rollback, puts a hive's
  # value back where the rollback has taken the files it names. The
  # machine-wide steps are not impersonated. Each step's data:
  # "<folder>|...", as shellctl_action.cpp reads it.
  set(actions "")
  set(sequence "")
  foreach(who user machine)
    set(all "")
    set(impersonate yes)
    if(who STREQUAL machine)
      set(all " --all-users")
      set(impersonate no)
    endif()
    string(APPEND actions
      "    <CustomAction Id=\"SetShell_${who}_data\" Property=\"SetShell_${who}\" Value=\"[INSTALLDIR]|1|install${all}[SHELLREFRESH]\"/>\n"
      "    <CustomAction Id=\"SetShell_${who}\" BinaryKey=\"ShellctlAction\" DllEntry=\"RunShellctl\" Execute=\"deferred\" Impersonate=\"${impersonate}\" Return=\"check\"/>\n"
      "    <CustomAction Id=\"UnsetShell_${who}_data\" Property=\"UnsetShell_${who}\" Value=\"[INSTALLDIR]|${who}|[UpgradeCode]|[ProductCode]\"/>\n"
      "    <CustomAction Id=\"UnsetShell_${who}\" BinaryKey=\"ShellctlAction\" DllEntry=\"UnsetShell\" Execute=\"deferred\" Impersonate=\"${impersonate}\" Return=\"check\"/>\n"
      "    <CustomAction Id=\"RepairShell_${who}_data\" Property=\"RepairShell_${who}\" Value=\"[INSTALLDIR]|${who}\"/>\n"
      "    <CustomAction Id=\"RepairShell_${who}\" BinaryKey=\"ShellctlAction\" DllEntry=\"RepairShell\" Execute=\"deferred\" Impersonate=\"${impersonate}\" Return=\"ignore\"/>\n")
    string(APPEND sequence
      "      <Custom Action=\"UnsetShell_${who}_data\" Before=\"UnsetShell_${who}\">REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE</Custom>\n"
      "      <Custom Action=\"UnsetShell_${who}\" Before=\"RemoveFiles\">REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE</Custom>\n"
      "      <Custom Action=\"RepairShell_${who}_data\" Before=\"RepairShell_${who}\">NOT REMOVE</Custom>\n"
      "      <Custom Action=\"RepairShell_${who}\" Before=\"InstallFiles\">NOT REMOVE</Custom>\n"
      "      <Custom Action=\"SetShell_${who}_data\" Before=\"SetShell_${who}\">NOT REMOVE AND SETSHELL=\"${who}\"</Custom>\n"
      "      <Custom Action=\"SetShell_${who}\" Before=\"InstallFinalize\">NOT REMOVE AND SETSHELL=\"${who}\"</Custom>\n")
  endforeach()

  set(wxs ${stage}/${name}.wxs)
  file(GENERATE OUTPUT ${wxs} CONTENT
"<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"${product}\" Name=\"${name}\" Version=\"${ARG_VERSION}\" Manufacturer=\"${ARG_MANUFACTURER}\"
           UpgradeCode=\"${upgrade}\" Language=\"1033\">
    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"${scope}\"/>
    <Media Id=\"1\" Cabinet=\"files.cab\" EmbedCab=\"yes\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A newer version of ${name} is installed already.\"/>
    <Property Id=\"REMEMBEREDSETSHELL\">
      <RegistrySearch Id=\"RememberedSetShell\" Root=\"${root}\" Key=\"${key}\" Name=\"SetShell\" Type=\"raw\" Win64=\"${win64}\"/>
    </Property>
    <Property Id=\"REMEMBEREDINSTALLDIR\">
      <RegistrySearch Id=\"RememberedInstallDir\" Root=\"${root}\" Key=\"${key}\" Name=\"InstallDir\" Type=\"raw\" Win64=\"${win64}\"/>
    </Property>
    <Binary Id=\"ShellctlAction\" SourceFile=\"files/$<PATH:GET_FILENAME,${MODUTIL_INSTALLER_ACTION}>\"/>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      ${programs_xml}
        <Directory Id=\"INSTALLDIR\" Name=\"${name}\">
${components}          <Component Id=\"RememberSetShell\" Guid=\"${remembered}\" Win64=\"${win64}\">
            <RegistryValue Root=\"${root}\" Key=\"${key}\" Name=\"SetShell\" Type=\"string\" Value=\"[SETSHELL]\" KeyPath=\"yes\"/>
            <RegistryValue Root=\"${root}\" Key=\"${key}\" Name=\"InstallDir\" Type=\"string\" Value=\"[INSTALLDIR]\"/>
          </Component>
        </Directory>
      ${programs_end}
    </Directory>
    <Feature Id=\"Shell\" Level=\"1\">
${refs}      <ComponentRef Id=\"RememberSetShell\"/>
${extra_refs}    </Feature>
    <CustomAction Id=\"MarkShellRefresh\" Property=\"SHELLREFRESH\" Value=\" --if-shell\"/>
    <CustomAction Id=\"TakeRememberedSetShell\" Property=\"SETSHELL\" Value=\"[REMEMBEREDSETSHELL]\"/>
    <CustomAction Id=\"TakeRememberedInstallDir\" Property=\"INSTALLDIR\" Value=\"[REMEMBEREDINSTALLDIR]\"/>
    <CustomAction Id=\"SetInstallLocation\" Property=\"ARPINSTALLLOCATION\" Value=\"[INSTALLDIR]\"/>
${actions}    <InstallExecuteSequence>
      <Custom Action=\"MarkShellRefresh\" After=\"AppSearch\">Installed OR (NOT SETSHELL AND REMEMBEREDSETSHELL)</Custom>
      <Custom Action=\"TakeRememberedSetShell\" After=\"AppSearch\">NOT SETSHELL AND REMEMBEREDSETSHELL</Custom>
      <Custom Action=\"TakeRememberedInstallDir\" After=\"AppSearch\">REMEMBEREDINSTALLDIR AND (Installed OR NOT INSTALLDIR)</Custom>
      <Custom Action=\"SetInstallLocation\" After=\"CostFinalize\">NOT REMOVE</Custom>
${sequence}    </InstallExecuteSequence>
  </Product>
</Wix>
")

  set(msi ${CMAKE_CURRENT_BINARY_DIR}/${name}-${ARG_VERSION}-${arch}.msi)
  set(copies "")
  set(binaries "")
  foreach(source IN LISTS sources MODUTIL_INSTALLER_ACTION)
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy ${source} ${stage}/files/)
    if(source MATCHES "^\\$<TARGET_FILE:|\\.(exe|dll)$")
      list(APPEND binaries ${stage}/files/$<PATH:GET_FILENAME,${source}>)
    endif()
  endforeach()
  # wixl places custom actions by its own rule, whatever Before says, and
  # leaves SETSHELL out of the properties a managed install hands on from the
  # client to the server (without it there, SETSHELL=user is lost): set both.
  set(fixes COMMAND ${MODUTIL_MSIBUILD} ${msi} -q
      "UPDATE `Property` SET `Value`='SETSHELL$<SEMICOLON>REMEMBEREDSETSHELL$<SEMICOLON>REMEMBEREDINSTALLDIR$<SEMICOLON>WIX_DOWNGRADE_DETECTED$<SEMICOLON>WIX_UPGRADE_DETECTED' WHERE `Property`='SecureCustomProperties'")
  # Just after AppSearch, before anything reads them: the refresh mark
  # before SETSHELL is taken from memory (it says where SETSHELL came from),
  # and INSTALLDIR before CostFinalize resolves the folder.
  set(placed MarkShellRefresh 51 TakeRememberedSetShell 52 TakeRememberedInstallDir 53
             SetInstallLocation 1001 # just after CostFinalize (1000), which resolves INSTALLDIR
             UnsetShell_user_data 3401 UnsetShell_user 3402 # before RemoveFiles (3500)
             UnsetShell_machine_data 3403 UnsetShell_machine 3404
             RepairShell_user_data 3991 RepairShell_user 3992 # before InstallFiles (4000): after it in a rollback
             RepairShell_machine_data 3993 RepairShell_machine 3994
             SetShell_user_data 6501 SetShell_user 6502 # after PublishProduct, before InstallFinalize (6600)
             SetShell_machine_data 6503 SetShell_machine 6504
             RemoveExistingProducts 6601) # after InstallFinalize (6600): the newer version is in place first
  while(placed)
    list(POP_FRONT placed action number)
    list(APPEND fixes COMMAND ${MODUTIL_MSIBUILD} ${msi} -q
         "UPDATE `InstallExecuteSequence` SET `Sequence`=${number} WHERE `Action`='${action}'")
  endwhile()
  foreach(action MarkShellRefresh TakeRememberedSetShell TakeRememberedInstallDir SetInstallLocation
                 SetShell_user_data SetShell_machine_data UnsetShell_user_data UnsetShell_machine_data
                 RepairShell_user_data RepairShell_machine_data)
    list(APPEND fixes COMMAND ${MODUTIL_MSIBUILD} ${msi} -q
         "UPDATE `CustomAction` SET `Type`=51 WHERE `Action`='${action}'") # a plain property, set at once
  endforeach()
  # Rollback steps, which wixl cannot write: a DLL's entry (1), in the
  # script (0x400), run only in a rollback (0x100); the machine's not
  # impersonated (0x800). Return="ignore" (0x40): a rollback goes on.
  list(APPEND fixes COMMAND ${MODUTIL_MSIBUILD} ${msi} -q
       "UPDATE `CustomAction` SET `Type`=1345 WHERE `Action`='RepairShell_user'"
       COMMAND ${MODUTIL_MSIBUILD} ${msi} -q
       "UPDATE `CustomAction` SET `Type`=3393 WHERE `Action`='RepairShell_machine'")

  # The copies are signed, by the author: the SDK's own files stay as they are.
  modutil_sign_commands(sign_files ${binaries})
  modutil_sign_commands(sign_msi ${msi})
  add_custom_command(OUTPUT ${msi}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}/files
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/files
    ${copies}
    ${sign_files}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${msi}
    COMMAND ${MODUTIL_WIXL} -a ${wixl_arch} -o ${msi} ${wxs} ${extra_wxs}
    ${fixes}
    ${sign_msi}
    WORKING_DIRECTORY ${stage}
    DEPENDS ${sources} ${MODUTIL_INSTALLER_ACTION} ${wxs} ${extra_wxs}
    COMMENT "Windows Installer package ${name}-${ARG_VERSION}-${arch}.msi"
    VERBATIM)
  add_custom_target(${name}_msi ALL DEPENDS ${msi})
endfunction()
