"""What velquist.exe must show, take and return, written once for the Python
suites and the scripts; facts.h holds the same for C++.  Spelt out here rather
than read from src/ or res/: a test that read its expectations from the code
it checks would follow that code into any mistake."""

# The string table's ids; the title is the caption of every box.
TITLE, QUESTION, MODIFIED, FAILED, NO_TARGET, ALREADY = 103, 104, 105, 106, 107, 108
TEXTS = {
    'en': {TITLE: 'Velquist',
           QUESTION: 'Modify registry. Are you sure?',
           MODIFIED: 'Registry was modified successfully.',
           FAILED: 'Failed to modify registry.',
           NO_TARGET: 'No target registry to modify.',
           ALREADY: 'Target registry is already modified.'},
    'ja': {TITLE: 'Velquist',
           QUESTION: 'レジストリを修正します。よろしいですか？',
           MODIFIED: 'レジストリを修正しました。',
           FAILED: 'レジストリの修正に失敗しました。',
           NO_TARGET: '修正対象のレジストリはありません。',
           ALREADY: 'レジストリはすでに修正されています。'},
}

# The session lock (no namespace prefix) and the lock across sessions.
INSTANCE_MUTEX = 'BCB43F0C-3106-4701-A096-65BB83D7C47D'
GLOBAL_MUTEX = r'Global\F5E1A2AA-85D2-483B-A417-12471FC6DB88'

# The keys under HKEY_LOCAL_MACHINE and the three values in them.
UNINSTALL = r'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\RADADIRorUzavovazo'
SERVICE = r'SYSTEM\CurrentControlSet\Services\VedOvedavu'
UNINSTALL_STRING, DISPLAY_ICON, IMAGE_PATH = 'UninstallString', 'DisplayIcon', 'ImagePath'

EXIT_MODIFIED, EXIT_FAILED, EXIT_NO_TARGET, EXIT_ALREADY, EXIT_DECLINED = 0, 1, 2, 3, 4

# A driver's values as its installer leaves them, and as a repair must leave them.
SETUP_PATH = r'C:\Program Files\Example Driver\setup.exe'
SETUP = r'C:\Program Files\Example Driver\setup.exe -uninstall'
SETUP_FIXED = r'"C:\Program Files\Example Driver\setup.exe" -uninstall'
ICON = r'C:\Program Files\Example Driver\setup.exe,0'
ICON_FIXED = r'"C:\Program Files\Example Driver\setup.exe",0'
SERVICE_VALUE = r'C:\Program Files\Example Driver\svc.exe -k net'
SERVICE_FIXED = r'"C:\Program Files\Example Driver\svc.exe" -k net'
