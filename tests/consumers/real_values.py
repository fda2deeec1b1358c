"""The values that the consumer suite runs through Windows' own consumers.

Each ImagePath and UninstallString entry is a value as a public report or
issue tracker printed it, with its source beside it; the few entries that are
not are marked, with the reason they are here.  `value` is exact (case,
blanks, a doubled backslash, a trailing blank), as the source prints it.

What a sound repair makes of a value is not written here: the suite derives it
from the program that the value names (consumers.program_of).
"""

IMAGE_PATHS = [
    # Reported unquoted: the planted program must run before the repair.
    dict(product='HASS.Agent Satellite Service',
         value=r'C:\Program Files\HASS.Agent Satellite Service\Service\HASS.Agent.Satellite.Service.exe',
         source='https://github.com/hass-agent/HASS.Agent/issues/193 (Nessus plugin 63155 output)'),
    dict(product='Webcamoid AkVirtualCamera (AkVCamAssistant)',
         value=r'C:\Program Files\AkVirtualCamera\x64\AkVCamAssistant.exe',
         source='https://github.com/webcamoid/akvirtualcamera/issues/75 (sc qc output)'),
    dict(product='WPKG-GP 0.15',
         value=r'C:\Program Files\Wpkg-GP\WpkgServer.exe',
         source='https://github.com/cleitet/wpkg-gp/issues/101'),
    dict(product='Microsoft Office 2010 Groove audit service',
         value=r'C:\Program Files\Microsoft Office\Office14\GROOVE.EXE /auditservice',
         source='https://github.com/PowerShellMafia/PowerSploit/issues/137 (Win32_Service PathName, Windows 7 SP1)'),
    dict(product='Prometheus windows_exporter',
         value=r'C:\Program Files\windows_exporter\windows_exporter.exe',
         source='https://github.com/prometheus-community/windows_exporter/issues/1079 (Nessus 63155 output)'),
    dict(product='NSClient++',
         value=r'C:\Program Files\NSClient++\nsclient++.exe',
         source='https://github.com/mickem/nscp/issues/797'),
    dict(product='Bazarr 1.0.1 (NSSM wrapper)',
         value='C:\\Program Files\\Bazarr\\nssm.exe ',
         source='https://github.com/morpheus65535/bazarr/issues/1650 (services.msc, printed with a trailing blank)'),
    dict(product='Sync Breeze Enterprise 12.4.18',
         value=r'C:\Program Files\Sync Breeze Enterprise\bin\syncbrs.exe',
         source='Exploit-DB 48045 (exploits/windows/local/48045.txt, sc qc output)'),
    dict(product='Genexus Protection Server 9.6.4.2',
         value=r'C:\Program Files (x86)\Common Files\Artech\GXProt1\ProtSrv.exe',
         source='Exploit-DB 49007 (exploits/windows/local/49007.txt, sc qc output; the file wraps the line after "Common")'),
    dict(product='Graylog Collector 0.4.2 (Apache procrun)',
         value=r'C:\graylog collector\bin\windows\graylog-collector-service-x86.exe //RS//GraylogCollector',
         source='Exploit-DB 40538 (exploits/windows/local/40538.txt); https://github.com/graylog-labs/collector/issues/93'),
    dict(product='CoolerMaster MasterPlus 1.8.5',
         value=r'C:\Program Files (x86)\CoolerMaster\MasterPlus\MPService.exe',
         source='cxsecurity.com WLB "CoolerMaster MasterPlus 1.8.5 Unquoted Service Path" (2023-04-02, sc qc output)'),
    dict(product='Lenovo LegionSpace 1.7.11.2 (DAService)',
         value=r'C:\Program Files\Lenovo\LegionSpace\1.7.11.2\LSDaemon.exe',
         source='cxsecurity.com WLB "Lenovo LegionSpace 1.7.11.2 DAService Unquoted Service Path" (sc qc output)'),
    dict(product='IObit Uninstaller (IObitUnSvr)',
         value=r'C:\Program Files (x86)\IObit\IObit Uninstaller\IUService.exe',
         source='https://github.com/byt3bl33d3r/CrackMapExec/pull/648 (module output against a Windows 10 host)'),
    dict(product='FreeLAN 2.2.0',
         value=r'C:\Program Files\FreeLAN\bin\freelan.exe',
         source='https://github.com/freelan-developers/freelan/issues/234 (sc qc output)'),
    dict(product='AmneziaVPN',
         value=r'C:\\Program Files\AmneziaVPN\AmneziaVPN-service.exe',
         source='https://github.com/amnezia-vpn/amnezia-client/issues/60 (sc qc output, with the doubled backslash)'),
    dict(product='VFS for Git 1.0.21014.1',
         value=r'C:\Program Files\GVFS\GVFS.Service.exe',
         source='https://github.com/microsoft/VFSForGit/issues/1720'),
    # Must stay as they are: already quoted, or no blank in the program's path.
    dict(product='PostgreSQL 14 (EDB installer)',
         value=r'"C:\Program Files\PostgreSQL\14\bin\pg_ctl.exe" runservice -N "postgresql-x64-14" '
               r'-D "C:\Program Files\PostgreSQL\14\data" -w',
         source='https://github.com/EnterpriseDB/edb-installers/issues/400'),
    dict(product='Google Update',
         value=r'"C:\Program Files\Google\Update\GoogleUpdate.exe" /svc',
         source='https://github.com/PowerShellMafia/PowerSploit/issues/137'),
    dict(product='Windows svchost-hosted service',
         value=r'%systemroot%\system32\svchost.exe -k NetSvcs -p',
         source='reg query of a Windows 10 service key (REG_EXPAND_SZ) in a public write-up; '
                'the same form for wuauserv and BITS in other public dumps',
         # Wine's own svchost: nothing of the suite's stands there.
         windows_program=True),
    dict(product='Atlassian Bitbucket 7.11.1 (procrun)',
         value=r'C:\Atlassian\Bitbucket\7.11.1\bin\bserv64.exe //RS//AtlassianBitbucket',
         source='wmic and PrivescCheck output in a public write-up'),
    dict(product='Ubiquiti UniFi Video',
         value=r'C:\ProgramData\unifi-video\avService.exe //RS//UniFiVideoService',
         source='reg query output in public write-ups on CVE-2016-6914'),
    dict(product='Apache Tomcat 7 (procrun, 8.3 names)',
         value=r'C:\PROGRA~1\APACHE~1\TOMCAT~1.0\bin\Tomcat7.exe //RS//Tomcat7',
         source='service inventory in a public assessment note'),
    # Not from a report: a folder whose name holds ".exe" after a blank, the
    # one shape that tells a repair quoting up to the first .exe from one
    # quoting up to the last (no public value has it).
    dict(product='a folder name holding .exe (not from a report)',
         value=r'C:\Program Files\Vendor Tools\bin.exec\vendorsvc.exe -k netsvcs',
         source='none: made for the suite'),
    # The service key's own value, last: it is repaired where it lives and
    # started from there (the README's example).
    dict(product='the README example',
         value=r'C:\Program Files\Example Driver\exdrvsvc.exe -service',
         source='README.md, "A real run"', service='VedOvedavu'),
]

UNINSTALL_STRINGS = [
    dict(product='Notepad++ (installers before 2021)',
         value=r'C:\Program Files\Notepad++\uninstall.exe',
         source='https://github.com/notepad-plus-plus/notepad-plus-plus/issues/6165 and #10191 '
                '(#10191 reproduced the hijack from Programs and Features on Windows 10)'),
    dict(product='Squirrel.Windows apps',
         value=r'C:\Users\Joe Smith\AppData\Local\AppName\Update.exe --uninstall',
         source='https://github.com/Squirrel/Squirrel.Windows/issues/675 (Squirrel writes it under HKCU; '
                'here it stands in the tool\'s HKLM entry)'),
    dict(product='OBS Studio 28.1.2',
         value=r'C:\Program Files\obs-studio\uninstall.exe',
         source='https://github.com/obsproject/obs-studio/issues/7935'),
    dict(product='HashTab 6.0.0.34 (NSIS)',
         value=r'C:\Program Files\HashTab Shell Extension\uninst.exe',
         source='https://github.com/arcadesdude/BRU/issues/24 (installed-program listing of a real machine)'),
    dict(product='HP LaserJet 1020 Series driver',
         value=r'C:\Program Files\HP\HP LaserJet 1020\Uninstall.exe',
         source='https://github.com/arcadesdude/BRU/issues/24'),
    dict(product='GoPro VR Player 3.0',
         value=r'C:\Program Files\GoPro VR Player 3.0\Uninstall.exe /s',
         source='https://github.com/arcadesdude/BRU/issues/24 (the entry\'s QuietUninstallString)'),
    dict(product='Tencent QQNT',
         value=r'C:\Program Files\Tencent\QQNT\Uninstall.exe',
         source='reg query output (HKLM\\SOFTWARE\\WOW6432Node\\...\\Uninstall\\QQ) quoted in a public launcher script'),
    dict(product='Visual Studio 2010 Tools for Office Runtime (x64)',
         value=r'c:\Program Files\Common Files\Microsoft Shared\VSTO\10.0\Microsoft Visual Studio 2010 '
               r'Tools for Office Runtime (x64)\install.exe',
         source='installed-software inventory of a real machine in a public ImmyBot API note '
                '(the listing wraps the line after "Office")'),
    # Must stay as they are.
    dict(product='Cheat Engine 6.5.1 (Inno Setup)',
         value=r'"C:\Program Files (x86)\Cheat Engine 6.5.1\unins000.exe"',
         source='https://github.com/AnthonyMastrean/chocolateypackages/issues/188'),
    dict(product='Bitvise SSH Server',
         value=r'"C:\Program Files\Bitvise SSH Server\uninst.exe" "Bitvise SSH Server"',
         source='https://github.com/dtgm/chocolatey-packages/issues/235'),
    dict(product='Dell Optimizer (InstallShield)',
         value=r'"C:\Program Files (x86)\InstallShield Installation Information\{CC40119D-6ADF-4832-8025-4808195E41D5}'
               r'\DellOptimizer.exe" -remove -runfromtemp',
         source='https://github.com/andrew-s-taylor/public/issues/102'),
    # Not from a report (see the ImagePath one).
    dict(product='a folder name holding .exe (not from a report)',
         value=r'C:\Program Files\Vendor Setup\setup.exec\vendorsetup.exe -uninstall',
         source='none: made for the suite'),
    dict(product='the README example',
         value=r'C:\Program Files\Example Driver\setup.exe -uninstall',
         source='README.md, "A real run"'),
]

# The shapes an installer gives DisplayIcon. None is from a vulnerability
# report (none prints one); the Burn form is what WiX's bundle engine writes.
DISPLAY_ICONS = [
    dict(product='the README example', value=r'C:\Program Files\Example Driver\setup.exe,0',
         source='README.md, "A real run"'),
    dict(product='a WiX Burn bundle',
         value=r'C:\ProgramData\Package Cache\{6E2A5F4B-3C1D-4E8F-9A7B-2D5C8E1F0A93}\ExampleDriverSetup.exe,0',
         source='the WiX Burn engine\'s registration ("DisplayIcon: [path to exe] and \\",0\\"")'),
    dict(product='no index', value=r'C:\Program Files\Example Driver\setup.exe',
         source='none: the form without ",N"'),
    dict(product='a resource id', value=r'C:\Program Files\Notepad++\uninstall.exe,-1',
         source='none: the ",-ID" form'),
    dict(product='already quoted', value=r'"C:\Program Files\Example Driver\setup.exe",0',
         source='none: an installer that quotes'),
]
