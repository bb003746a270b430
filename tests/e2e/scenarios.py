"""End-to-end scenarios as data: a starting state ("given"), a command line
("run") and the state expected afterwards ("expect"). The runner (run_e2e.py)
knows how to set up each "given" step and check each "expect" key.

given steps:
  ("install",)                       a silent install that must succeed first
  ("stop_service",) ("disable_service",) ("disable_task", name) ("kill", exe)
  ("control", exe, [keywords])       make a stand-in misbehave
  ("republish", path)                publish a new version of one product file
  ("touch", path)                    publish the same bytes with a new version stamp
  ("corrupt", path)                  publish a new version whose bytes do not match its digest
  ("set_value", name, data)          REG_SZ under HKLM\\Software\\Valdrix
  ("legacy",)                        the predecessor's folder, uninstaller and service
  ("server_down",)                   the update server stops answering
  ("sign", {"serial": n, "expires": t})  publish again with a statement of that serial and/or expiry
                                     (valdrix-release manifest --serial/--expires; keyed scenarios)
  ("tamper_manifest",)               one byte of the served windows.json changes after signing

  ("server_up",)                     the update server answers again
  ("serve_fault", path, fault)       the server misbehaves for one file: "status-500" | "cut" (half, then close)
  ("serve_normally",)                no more faults
  ("hold", path) ("release",)        a program holds an installed file open without sharing; it ends
  ("hold_service",)                  a program holds a handle on the service (as the Services console does)
  ("hold_mutex", sddl[, seconds])    a program owns a new mutex "Global\\Valdrix.Setup" with that owner
                                     ("O:BU"; "O:BA" as a running setup's), until released or for that long
  ("run_elsewhere", name)            an idle program of that file name runs from outside the install folder
  ("small_drive", KiB) ("grow_drive", KiB)  the install folder moves to a tmpfs with that much room
                                     left (root only); the drive grows by that much
  ("republish_large", path, bytes)   publish a new version of that size
  ("ingest_answers", status, {header: value})  the ingest endpoint refuses every envelope so
  ("ingest_normally",)               the ingest endpoint takes envelopes again
  ("end_rate_limits",)               the reporting client's remembered limits lie in the past
  ("plant_report_link", name)        a link at that name in the reporting client's ".sentry" folder, made
                                     on the host, to a file that does not exist
  ("link_outbox",)                   the reporting client's "Valdrix" folder in the user's local app data
                                     is a symbolic link made on the host (a reparse point to Wine)
  ("sessions", ["<id> <state> [<user>]", ...])  the sessions Windows lists (state as in
                                     WTS_CONNECTSTATE_CLASS; Active and Disconnected ones have a user
                                     unless named, others none); none unless given
  ("start_client",)                  start the installed client as a user would (Wine puts it in session 1)
  ("machine_proxy",)                 the machine's WinHTTP proxy (as `netsh winhttp set proxy` stores it) is a
                                     forward proxy that opens each tunnel with the trusted test CA and logs it
  ("plant_dlls",)                    the setup in the user's downloads folder beside a recording DLL under
                                     each name of PLANTED_DLLS, which Wine loads native-first in the runs
                                     that follow; "from_downloads": True runs the setup from there

interactive steps (the window under Xvfb; boxes are answered through their own messages):
  ("wait_window", title, seconds)    ("screenshot", name)  PNG of the window and any box over it
  ("answer", id, seconds[, name])    wait for a box, screenshot it as name, answer it with the
                                     button id (6 Yes/Verify, 7 No/Reinstall, 2 Cancel, 1 OK)
  ("close", seconds)                 close the progress window as its close button does
  ("kill_setup_at_log", text, secs)  kill the setup, and what it started, when its log shows text
                                     (also for silent runs)
  ("kill_setup_when_task_disabled", name, secs)  the same once the Task Scheduler holds that task disabled
  ("wait_log", text, seconds) ("wait_exit", seconds)

"keyed": True runs the setup built with the committed test keys (bin/keyed) against a product
whose manifest is signed with the test manifest key and which serves no /api/signkey.

"fire_task": name instead of "run": the Task Scheduler stand-in fires that registered task as its
trigger would (valdrix_fire_task); the exit code is its action's, 3 when the task is disabled, 4 when
Windows would never run it, 5 when it was stopped at its execution time limit.

"next": further phases (given/run/interactive/expect) on the state the previous one left.

expect keys:
  exit                 process exit code
  product              "installed" (complete, stamped, registered) | "absent" | "unchanged"
  service_running, client_running, client_started_by_task, desktop_shortcut, legacy_present: bool
  service_enabled, verify_task_enabled, logon_task_enabled: bool
  downloads            list of product paths fetched in this run ("*" = every file)
  manifest_requests    how many times the manifest was fetched
  prereq_runs          {"install": n, "repair": n} runs of the prerequisite installer
  log                  substrings that must appear in the run's log lines
  reports              True: at least one event reached the ingest endpoint; False: none; n: exactly n
  breadcrumbs          messages that the reported events' breadcrumbs must include
  outbox               how many reports wait on disk for the ingest endpoint
  rate_limit           seconds the reporting client's remembered limits last from the run's refusal
  delivered            exception values of the events received, in the order received
  files                {path: "present" | "absent"} in the install folder
  pending_renames      bool: something of the product waits for a restart to be deleted
  task_runs            the lines the Task Scheduler added to runs.log in this run ("<task> <session>")
  client_starts        the client's own record of its starts in this run: "direct", or "task <session>"
                       (started by the logon task for that session, with its argument and folder)
  clients              how many client processes run afterwards
  reported             texts that the events reaching the ingest endpoint must carry
  serial               the manifest serial recorded under HKLM\\Software\\Valdrix ("ManifestSerial"), or None
  prereq_env           {"image", "temp", "tmp"}: where every prerequisite installer of the run ran
                       from and its TEMP and TMP (the stand-in records them)
  temp_untouched       True: nothing new in the user's temporary folder but the setup log
  proxied              True: every request the server saw came through the proxy (its log lists each one)
  link_target_empty    True: nothing was made behind the link of ("link_outbox",)
  planted_target_untouched  True: the file behind ("plant_report_link", name) was not made
  planted_loads        "<dll> into <program> (for <module>)" for each planted DLL loaded in this run
                       beyond Wine's own (see Suite.setup_loads)
Every run also fails when a stand-in reported an error (a bad sessions.txt line, an action that would not start).
"""

# The next silent update after an interrupted one: the machine complete and running.
CONVERGED_UPDATE = {
    "run": ["/silent", "/update"],
    "expect": {"exit": 0, "product": "installed", "service_running": True, "verify_task_enabled": True,
               "logon_task_enabled": True, "client_starts": ["task 1"], "clients": 1},
}

# After a failed update: the setup where the verify task finds it, the product
# running and both tasks on.
GUARDED = {"service_running": True, "verify_task_enabled": True, "logon_task_enabled": True,
           "files": {"Valdrix.Setup.exe": "present", "__temp_Valdrix.Setup.exe": "absent"}}

# Prerequisite installers run from the install folder, which only
# administrators can write, in their own folder, and unpack into a folder of
# their own there; of the environment they get the machine's, not the caller's
# (the runner gives every run VALDRIX_CALLER_ONLY).
PREREQ_ENV = {"image": r"C:\Program Files\Valdrix\Prerequisites\Valdrix.Runtime.Setup.exe",
              "temp": r"C:\Program Files\Valdrix\Prerequisites\Temp",
              "tmp": r"C:\Program Files\Valdrix\Prerequisites\Temp",
              "cwd": r"C:\Program Files\Valdrix\Prerequisites", "caller": ""}

# System DLLs that are not KnownDLLs: Windows loads these from the program's
# own folder first. The names of the setup's delay imports are among them.
# Left out: what Wine's WinHTTP calls over https (crypt32, bcrypt, dnsapi,
# iphlpapi, dhcpcsvc), what its common controls call (uxtheme, winmm), and
# version, which Wine's user32 imports and its windows call. Wine resolves its own DLLs' delay imports, and their
# imports, from the program's folder first, where Windows' own DLLs take them
# from System32 only; a planted one without exports would break the download.
PLANTED_DLLS = ["apphelp", "cabinet", "comctl32", "credui", "cryptbase", "cryptnet", "cryptsp", "dbghelp", "dpapi",
                "dwmapi", "dxgi", "mpr", "msasn1", "msi", "netapi32", "ntmarta", "oleacc", "powrprof", "profapi",
                "propsys", "rasapi32", "srvcli", "sspicli", "taskschd", "urlmon", "userenv", "winhttp", "wininet",
                "winsta", "wintrust", "wkscli", "wldp", "wtsapi32", "xmllite"]

SCENARIOS = [
    {
        "name": "clean_install",
        "about": "A first silent install on a clean machine runs every step and starts the product.",
        "given": [],
        "run": ["/silent"],
        "expect": {"exit": 0, "product": "installed", "service_running": True,
                   "desktop_shortcut": True, "downloads": "*", "manifest_requests": 1,
                   "prereq_runs": {"install": 1, "repair": 0}, "log": ["Finished!"], "reports": False,
                   "prereq_env": PREREQ_ENV, "temp_untouched": True,
                   "files": {"Prerequisites\\Valdrix.Runtime.Setup.exe": "present"}},
    },
    {
        "name": "update_unchanged_manifest_downloads_nothing",
        "about": "/update with the same manifest fetches only the manifest but re-registers and restarts.",
        "given": [("install",)],
        "run": ["/silent", "/update"],
        "expect": {"exit": 0, "product": "installed", "service_running": True,
                   "downloads": [], "manifest_requests": 1, "prereq_runs": {"install": 0, "repair": 0},
                   "log": ["Finished!"]},
    },
    {
        "name": "update_one_changed_file_downloads_only_it",
        "about": "/update after one file was republished fetches exactly that file.",
        "given": [("install",), ("republish", "rules.dat")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 0, "product": "installed", "downloads": ["rules.dat"], "manifest_requests": 1,
                   "service_running": True},
    },
    {
        "name": "install_over_existing_install",
        "about": "A second install replaces every file, re-creates service and tasks, keeps one of each.",
        "given": [("install",), ("kill", "Valdrix.Desktop.exe")],
        "run": ["/silent"],
        # A silent run starts the client only through the logon task in each
        # user session, and Wine lists none.
        "expect": {"exit": 0, "product": "installed", "downloads": "*", "service_running": True,
                   "verify_task_enabled": True,
                   "log": ["Removing existing client scheduled task", "Removing existing verify scheduled task",
                           "Updating existing service..",
                           "There are no user sessions, we can't start the client app!"]},
    },
    # --- the client in each user session ---
    {
        "name": "silent_install_starts_client_in_each_session",
        "about": "A silent install runs the logon task in every user session but session 0; one client each.",
        "given": [("sessions", ["0 Disconnected", "1 Active", "2 Active"])],
        "run": ["/silent"],
        "expect": {"exit": 0, "product": "installed", "service_running": True,
                   "task_runs": ["ValdrixLogon 1", "ValdrixLogon 2"], "client_starts": ["task 1", "task 2"],
                   "clients": 2,
                   "log": ["Starting scheduled task for session 1", "Starting scheduled task for session 2"]},
    },
    {
        "name": "sessions_without_a_user_get_no_client",
        "about": "The Remote Desktop listener and a console at the logon screen beside sessions 1 and 2: the logon "
                 "task runs in 1 and 2 only, and the run succeeds.",
        "given": [("sessions", ["0 Disconnected", "1 Active", "65536 Listen", "2 Disconnected", "3 Connected"])],
        "run": ["/silent"],
        "expect": {"exit": 0, "product": "installed", "task_runs": ["ValdrixLogon 1", "ValdrixLogon 2"],
                   "client_starts": ["task 1", "task 2"], "clients": 2, "log": ["Finished!"]},
    },
    {
        "name": "verify_starts_client_only_where_missing",
        "about": "Verify with sessions 1 and 2 and one client (Wine puts it in session 1) starts one, for session 2; "
                 "with both stopped, two.",
        "given": [("install",), ("sessions", ["1 Active", "2 Active"]), ("start_client",)],
        "run": ["/silent", "/verify"],
        "expect": {"exit": 0, "task_runs": ["ValdrixLogon 2"], "client_starts": ["task 2"], "clients": 2,
                   "log": ["Not running on session 2, starting scheduled task"]},
        "next": [{
            "given": [("kill", "Valdrix.Desktop.exe")],
            "run": ["/silent", "/verify"],
            "expect": {"exit": 0, "task_runs": ["ValdrixLogon 1", "ValdrixLogon 2"],
                       "client_starts": ["task 1", "task 2"], "clients": 2},
        }],
    },
    {
        "name": "verify_starts_client_past_a_program_named_like_it",
        "about": "An idle Valdrix.Desktop.exe running from another folder is not the client: verify starts the real one.",
        "given": [("install",), ("sessions", ["1 Active"]), ("run_elsewhere", "Valdrix.Desktop.exe")],
        "run": ["/silent", "/verify"],
        "expect": {"exit": 0, "task_runs": ["ValdrixLogon 1"], "client_starts": ["task 1"], "clients": 2},
    },
    {
        "name": "verify_runs_past_a_mutex_another_account_made",
        "about": "A mutex Global\\Valdrix.Setup of another owner neither stops nor holds up a verify; one owned by "
                 "Administrators, as a running setup's is in any session, ends the run at once with 1000 (232 seen "
                 "from Linux).",
        "given": [("install",), ("stop_service",), ("hold_mutex", "O:BU")],
        "run": ["/silent", "/verify"],
        "expect": {"exit": 0, "service_running": True,
                   "log": ['Mutex "Global\\Valdrix.Setup" is not owned by Administrators']},
        "next": [{"given": [("release",), ("stop_service",), ("hold_mutex", "O:BA")], "run": ["/silent", "/verify"],
                  "expect": {"exit": 232, "service_running": False}}],
    },
    {
        "name": "update_waits_for_a_running_setup",
        "about": "An update started while another setup run (a verify, say) holds the mutex for a few seconds "
                 "waits for it and completes.",
        "given": [("install",), ("hold_mutex", "O:BA", 20)],
        "run": ["/silent", "/update"],
        "expect": {"exit": 0, "product": "installed", "service_running": True,
                   "log": ["ms for another setup run to end", "Finished!"]},
    },
    {
        "name": "verify_dontstart_with_sessions_starts_nothing",
        "about": "Verify with /dontstart and a stopped product warns for the service and each session, starts nothing.",
        "given": [("install",), ("stop_service",), ("sessions", ["1 Active", "2 Active"])],
        "run": ["/silent", "/verify", "/dontstart"],
        "expect": {"exit": 0, "service_running": False, "task_runs": [], "client_starts": [], "clients": 0,
                   "log": ['Service not running! It will not start because of the "don\'t start" flag.',
                           'Client not running on session 1! It will not start because of the "don\'t start" flag.',
                           'Client not running on session 2! It will not start because of the "don\'t start" flag.']},
    },
    {
        "name": "verify_reenables_and_starts",
        "about": "Verify turns a disabled service and logon task back on and starts the stopped service.",
        "given": [("install",), ("stop_service",), ("disable_service",), ("disable_task", "ValdrixLogon")],
        "run": ["/silent", "/verify"],
        "expect": {"exit": 0, "service_running": True, "service_enabled": True, "logon_task_enabled": True,
                   "downloads": [], "log": ["Service disabled! Enabling now.", "Logon task disabled! Enabling now."]},
    },
    {
        "name": "fired_verify_task_restarts_a_stopped_service",
        "about": "The verify task, fired as its trigger would, runs as SYSTEM and starts the stopped service; "
                 "disabled, it runs nothing.",
        "given": [("install",), ("stop_service",)],
        "fire_task": "ValdrixVerify",
        "expect": {"exit": 0, "service_running": True, "log": ["Service not running, starting now.."]},
        "next": [{"given": [("stop_service",), ("disable_task", "ValdrixVerify")], "fire_task": "ValdrixVerify",
                  "expect": {"exit": 3, "service_running": False}}],
    },
    {
        "name": "verify_repairs_prerequisites_after_1053",
        "about": "A service start failing with 1053 repairs the prerequisites once and starts again.",
        "given": [("install",), ("stop_service",), ("control", "Valdrix.Desktop.Service.exe", ["fail-1053"])],
        "run": ["/silent", "/verify"],
        "expect": {"exit": 0, "service_running": True, "prereq_runs": {"install": 0, "repair": 1},
                   "prereq_env": PREREQ_ENV, "temp_untouched": True},
    },
    {
        "name": "uninstall_with_fresh_token",
        "about": "A token signed just now removes everything, without needing a restart.",
        "given": [("install",)],
        "run": ["/silent", "/uninstall", "/token=$token"],
        "expect": {"exit": 0, "product": "absent", "service_running": False, "client_running": False,
                   "pending_renames": False, "reports": False},
    },
    {
        "name": "uninstall_with_expired_token_changes_nothing",
        "about": "A token older than 300 seconds is refused before anything is touched.",
        "given": [("install",)],
        "run": ["/silent", "/uninstall", "/token=$expired_token"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True, "log": ["Token expired"],
                   "reports": True},
    },
    {
        "name": "uninstall_nologin_with_config_key_changes_nothing",
        "about": "/nologin is refused while the account configuration exists.",
        "given": [("install",), ("set_value", "ConfigKey", "account")],
        "run": ["/silent", "/uninstall", "/nologin"],
        "expect": {"exit": 1, "product": "unchanged", "log": ["Config still exists"], "reports": True},
    },
    {
        "name": "install_through_the_machines_proxy",
        "about": "A company machine whose WinHTTP proxy is set: the manifest and every file come through it.",
        "given": [("machine_proxy",)],
        "run": ["/silent"],
        "expect": {"exit": 0, "product": "installed", "downloads": "*", "proxied": True},
    },
    # --- a setup with built-in keys: the signed manifest and the token key ---
    {
        "name": "keyed_signed_manifest_installs_and_refusals_leave_it_running",
        # The other refusals (no statement, expired, an older serial) take the same path: the
        # unit tests hold each of them.
        "about": "The keyed setup installs a signed manifest and keeps its serial; a changed byte is refused "
                 "with the installation untouched; a higher serial updates.",
        "keyed": True,
        "given": [("sign", {"serial": 1000})],
        "run": ["/silent"],
        "expect": {"exit": 0, "product": "installed", "service_running": True, "serial": "1000",
                   "manifest_requests": 1, "log": ["Manifest statement accepted (serial 1000, expires "]},
        "next": [{
            "given": [("tamper_manifest",)],
            "run": ["/silent", "/update"],
            "expect": {"exit": 1, "product": "unchanged", "service_running": True, "downloads": [],
                       "log": ["Unable to download manifest: Manifest does not match its statement (SHA-256 "]},
        }, {
            "given": [("sign", {"serial": 1001}), ("touch", "rules.dat")],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "downloads": ["rules.dat"], "serial": "1001"},
        }],
    },
    {
        "name": "keyed_uninstall_with_built_in_token_key",
        "about": "The keyed setup checks the token with its own key: no /api/signkey, and the serial goes with "
                 "the product key.",
        "keyed": True,
        "given": [("install",)],
        "run": ["/silent", "/uninstall", "/token=$token"],
        "expect": {"exit": 0, "product": "absent", "serial": None, "reports": False,
                   "log": ["Checking the token with the built-in key"]},
    },
    {
        "name": "legacy_present_without_permission",
        "about": "The predecessor blocks a silent install without /legacyuninstall; nothing is downloaded.",
        "given": [("legacy",)],
        "run": ["/silent"],
        "expect": {"exit": 1, "legacy_present": True, "downloads": [], "manifest_requests": 0,
                   "files": {"Valdrix.Desktop.exe": "absent"}, "log": ["Legacy application is still installed!"],
                   "reports": True},
    },
    {
        "name": "legacy_removed_with_legacyuninstall",
        "about": "/legacyuninstall runs the predecessor's uninstaller, then installs.",
        "given": [("legacy",)],
        "run": ["/silent", "/legacyuninstall"],
        "expect": {"exit": 0, "legacy_present": False, "product": "installed", "service_running": True,
                   "log": ["Uninstalling legacy build.."]},
    },
    {
        "name": "self_update_from_install_folder",
        "about": "The installed setup updating itself moves aside to __temp_Valdrix.Setup.exe.",
        "given": [("install",), ("touch", "Valdrix.Setup.exe")],
        "run": ["/silent", "/update"],
        "from_install_folder": True,
        "expect": {"exit": 0, "product": "installed", "downloads": ["Valdrix.Setup.exe"],
                   "files": {"__temp_Valdrix.Setup.exe": "present"}, "log": ["Renaming setup from"]},
    },
    {
        "name": "digest_mismatch_replaces_nothing",
        "about": "A file whose bytes do not match the manifest stops the run before anything is replaced.",
        "given": [("install",), ("corrupt", "rules.dat")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True, "verify_task_enabled": True,
                   "log": ["Downloaded file did not match checksum"], "reports": True},
    },
    {
        "name": "server_unreachable",
        "about": "Without the update server an install fails cleanly and changes nothing.",
        "given": [("install",), ("server_down",)],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True,
                   "log": ["Unable to download manifest: "]},
    },
    # --- faults: each leaves the previous installation running, or the next run mends it ---
    {
        "name": "fault_connection_closed_mid_file",
        "about": "The server closes the connection half-way through a file: nothing is replaced; the next run mends.",
        "given": [("install",), ("republish", "rules.dat"), ("serve_fault", "rules.dat", "cut")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True, "verify_task_enabled": True,
                   "log": ["Downloaded file is smaller than expected"], "reports": True},
        "next": [{
            "given": [("serve_normally",)],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["rules.dat"]},
        }],
    },
    {
        "name": "fault_status_500_for_one_file",
        "about": "The server answers 500 for one file: nothing is replaced, the error is reported; the next run mends.",
        "given": [("install",), ("republish", "strings.json"), ("serve_fault", "strings.json", "status-500")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True, "log": ["HTTP error 500"],
                   "reports": True},
        "next": [{
            "given": [("serve_normally",)],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["strings.json"]},
        }],
    },
    {
        "name": "fault_disk_full_while_staging",
        "about": "The install folder's drive fills up while a file is staged: nothing is replaced; with room, the next run mends.",
        "given": [("install",), ("small_drive", 1024), ("republish_large", "rules.dat", 3 << 20)],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "service_running": True, "reports": True,
                   "log": ["System error caught during setup:", "(code 112)"], "reported": ["(error code 112)"]},
        "next": [{
            "given": [("grow_drive", 8192)],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["rules.dat"]},
        }],
    },
    {
        "name": "fault_target_file_locked",
        "about": "A running program holds a product file open: five attempts, then an error; once released, the next run mends.",
        "given": [("install",), ("republish", "rules.dat"), ("hold", "rules.dat")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 1, "product": "unchanged", "reports": True, "log": ["attempt 5)"], "service_running": True},
        "next": [{
            "given": [("release",)],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["rules.dat"]},
        }],
    },
    {
        "name": "fault_service_ignores_stop",
        "about": "A service that ignores the stop control is terminated, and the update completes.",
        # The stand-in reads its control file when it starts.
        "given": [("control", "Valdrix.Desktop.Service.exe", ["ignore-stop"]), ("install",), ("republish", "rules.dat")],
        "run": ["/silent", "/update"],
        "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["rules.dat"],
                   "log": ["Timed out while stopping service. Falling back to unclean force termination."]},
    },
    {
        "name": "fault_killed_between_staging_and_commit",
        "about": "The setup is killed after staging, while it stops the product; the next run completes the update.",
        # The stand-in reads its control file when it starts.
        "given": [("control", "Valdrix.Desktop.Service.exe", ["ignore-stop"]), ("install",), ("republish", "rules.dat")],
        "run": ["/silent", "/update"],
        "interactive": [("kill_setup_at_log", "Stopping service..", 120)],
        "expect": {"files": {"rules.dat.tmp": "present"}},
        "next": [{
            "given": [("control", "Valdrix.Desktop.Service.exe", [])],
            "run": ["/silent", "/update"],
            "expect": {"exit": 0, "product": "installed", "service_running": True, "downloads": ["rules.dat"]},
        }],
    },
    {
        "name": "update_killed_anywhere_converges",
        "about": "A silent update killed with what it started, while it downloads, inside the verify task's pause "
                 "and while it updates the service: each time the next silent update completes the machine.",
        "given": [("install",), ("sessions", ["1 Active"]), ("republish_large", "rules.dat", 200_000),
                  ("serve_fault", "rules.dat", "slow")],
        "run": ["/silent", "/update"],
        "interactive": [("kill_setup_at_log", "(rules.dat)", 120)],
        "expect": {"product": "unchanged"},
        "next": [CONVERGED_UPDATE | {"given": [("serve_normally",)]}, {
            # A held file keeps the commit retrying: the pause lasts long enough to be seen.
            "given": [("republish", "rules.dat"), ("hold", "rules.dat")],
            "run": ["/silent", "/update"],
            "interactive": [("kill_setup_when_task_disabled", "ValdrixVerify", 120)],
            # As designed: the task that turns it back on died with the setup.
            "expect": {"verify_task_enabled": False},
        }, CONVERGED_UPDATE | {"given": [("release",)]}, {
            "given": [("republish", "rules.dat")],
            "run": ["/silent", "/update"],
            "interactive": [("kill_setup_at_log", "Updating existing service..", 120)],
            "expect": {"files": {"rules.dat.tmp": "absent"}},
        }, CONVERGED_UPDATE],
    },
    *[{
        "name": f"self_update_failing_{name}_stays_guarded",
        "about": f"A self-update from the install folder fails ({why}): the setup stays in place, the service "
                 "runs after the failed run, both tasks are on, no __temp_ copy; verify runs and the next update "
                 "converges.",
        "given": [("install",), ("sessions", ["1 Active"]), ("touch", "Valdrix.Setup.exe"), *fault],
        "run": ["/silent", "/update"],
        "from_install_folder": True,
        "expect": GUARDED | outcome,
        "next": [{"run": ["/silent", "/verify"], "from_install_folder": True,
                  "expect": {"exit": 0, "service_running": True}},
                 CONVERGED_UPDATE | {"given": mend, "from_install_folder": True}],
    } for name, why, fault, outcome, mend in [
        ("on_a_later_missing_file", "the server no longer has a file after the setup",
         [("republish", "strings.json"), ("serve_fault", "strings.json", "status-404")],
         {"exit": 1, "log": ["HTTP error 404"]}, [("serve_normally",)]),
        ("on_a_digest_mismatch", "a later file does not match its digest", [("corrupt", "rules.dat")],
         {"exit": 1, "log": ["Downloaded file did not match checksum"]}, [("republish", "rules.dat")]),
        ("on_a_full_disk", "the drive fills up after the setup is staged",
         [("small_drive", 6144), ("republish_large", "rules.dat", 8 << 20)],
         {"exit": 1, "log": ["(code 112)"]}, [("grow_drive", 16384)]),
        ("on_a_held_product_file", "a user holds a product file open without delete sharing",
         [("republish", "Valdrix.Desktop.Scan.exe"), ("hold", "Valdrix.Desktop.Scan.exe")],
         {"exit": 1, "log": ["attempt 5)", 'Running deferred task "restart product"']}, [("release",)]),
        # The service is changed in place, so a handle on it no longer stops the update.
        ("on_a_held_service", "another program holds a handle on the service", [("hold_service",)],
         {"exit": 0, "product": "installed", "files": {"Valdrix.Setup.exe": "present"},
          "log": ["Updating existing service.."]}, [("release",)]),
    ]],
    {
        "name": "interactive_install_with_window",
        "about": "The default run shows the progress window, installs, starts one client through the logon task "
                 "in its own session whatever the other sessions (not as its own child), and closes by itself.",
        "given": [("sessions", ["1 Active", "2 Active"])],
        "run": [],
        "interactive": [("wait_window", "Valdrix Setup", 30), ("screenshot", "install-progress"),
                        ("wait_exit", 600)],
        "expect": {"exit": 0, "product": "installed", "service_running": True, "log": ["Starting with UI"],
                   "task_runs": ["ValdrixLogon 1"], "client_starts": ["task 1"], "clients": 1},
    },
    {
        "name": "planted_dlls_beside_the_setup",
        "about": "Started from the downloads folder beside DLLs named like system DLLs, the setup loads none of "
                 "them: a silent install, a silent verify, a verify chosen in the window.",
        "given": [("plant_dlls",)],
        "run": ["/silent"],
        "from_downloads": True,
        "expect": {"exit": 0, "product": "installed", "service_running": True, "planted_loads": []},
        "next": [{
            "run": ["/silent", "/verify"],
            "from_downloads": True,
            "expect": {"exit": 0, "service_running": True, "downloads": [], "planted_loads": []},
        }, {
            "run": [],
            "from_downloads": True,
            "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "6", 60), ("wait_log", "Finished!", 300),
                            ("close", 10), ("wait_exit", 60)],
            "expect": {"exit": 0, "service_running": True, "log": ["Starting with UI"], "planted_loads": []},
        }],
    },
    {
        "name": "report_waits_on_disk_until_ingest_is_back",
        "about": "A failed run whose ingest endpoint is down keeps its event on disk; the next start sends it.",
        "given": [("server_down",)],
        "run": ["/silent"],
        "expect": {"exit": 1, "outbox": 1, "files": {"Valdrix.Desktop.exe": "absent"},
                   "log": ["Unable to download manifest: "]},
        "next": [{
            "given": [("server_up",)],
            "run": ["/silent"],
            "expect": {"exit": 0, "product": "installed", "outbox": 0, "reports": 1,
                       "breadcrumbs": ["Start install", "Status: Downloading manifest.."]},
        }],
    },
    {
        "name": "report_folder_behind_a_link_is_not_used",
        "about": "With the reporting folder replaced by a link, the run reports from memory and writes nothing there.",
        "given": [("legacy",), ("link_outbox",)],
        "run": ["/silent"],
        "expect": {"exit": 1, "reports": 1, "outbox": 0, "link_target_empty": True,
                   "breadcrumbs": ['Reports stay in memory: "%LOCALAPPDATA%\\Valdrix" is a link, not a folder'],
                   "log": ["Legacy application is still installed!"]},
    },
    {
        "name": "report_holds_back_while_the_service_says_429",
        "about": "A 429 with Retry-After is remembered across runs: later runs send nothing until it ends. The "
                 "record is written past a link planted at its old temporary name.",
        "given": [("legacy",), ("ingest_answers", 429, {"Retry-After": "3600"}),
                  ("plant_report_link", "rate-limits.json.tmp")],
        "run": ["/silent"],
        "expect": {"exit": 1, "reports": 1, "outbox": 1, "rate_limit": 3600, "planted_target_untouched": True,
                   "log": ["Legacy application is still installed!"]},
        "next": [{
            "run": ["/silent", "/uninstall"],
            "expect": {"exit": 1, "reports": 0, "outbox": 2, "log": ["Missing token"]},
        }, {
            "given": [("ingest_normally",), ("end_rate_limits",)],
            "run": ["/silent", "/legacyuninstall"],
            "expect": {"exit": 0, "product": "installed", "reports": 2, "outbox": 0,
                       "delivered": ["Legacy application is still installed!", "Missing token"]},
        }],
    },
    {
        "name": "interactive_already_installed_choose_verify",
        "about": "Started again on an installed machine, the window offers Verify; choosing it repairs.",
        "given": [("install",), ("stop_service",)],
        "run": [],
        # A verify run with the window stays open when it has finished; it is closed like a user would.
        "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "6", 60, "already-installed-question"),
                        ("wait_log", "Finished!", 300), ("screenshot", "verify-finished"), ("close", 10),
                        ("wait_exit", 60)],
        "expect": {"exit": 0, "service_running": True, "downloads": [], "manifest_requests": 0,
                   "log": ["Starting with UI"]},
    },
    {
        "name": "interactive_already_installed_reinstall_reports_answers",
        "about": "Reinstall chosen, then a file fails its digest: the error box, and the answers in the event.",
        "given": [("install",), ("corrupt", "rules.dat")],
        "run": [],
        "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "7", 60),
                        ("answer", "1", 300, "install-error"), ("wait_exit", 60)],
        # With the window, a failed run whose error was shown ends with 0.
        "expect": {"exit": 0, "product": "unchanged", "reports": True,
                   "breadcrumbs": ["Already installed, asking for verification", "No to start a full re-install"]},
    },
    {
        "name": "interactive_already_installed_cancel",
        "about": "Esc on the already-installed question closes the setup without running anything.",
        "given": [("install",)],
        "run": [],
        "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "2", 60), ("wait_exit", 60)],
        # A window closed without running anything ends like any closed window: 0.
        "expect": {"exit": 0, "product": "unchanged", "manifest_requests": 0, "reports": False,
                   "log": ["Starting with UI"]},
    },
    {
        "name": "interactive_legacy_no_closes",
        "about": "No to the legacy question closes the setup; the legacy build and the machine stay as they were.",
        "given": [("legacy",)],
        "run": [],
        "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "7", 60, "legacy-question"),
                        ("wait_exit", 60)],
        "expect": {"exit": 0, "legacy_present": True, "manifest_requests": 0, "reports": False,
                   "files": {"Valdrix.Desktop.exe": "absent"}},
    },
    {
        "name": "interactive_legacy_yes_removes_it",
        "about": "Yes to the legacy question removes it; a failing download then reports both answers' trail.",
        "given": [("legacy",), ("corrupt", "rules.dat")],
        "run": [],
        "interactive": [("wait_window", "Valdrix Setup", 30), ("answer", "6", 60), ("answer", "1", 300),
                        ("wait_exit", 60)],
        "expect": {"exit": 0, "legacy_present": False, "reports": True,
                   "breadcrumbs": ["Legacy build is installed, asking user to uninstall",
                                   "Yes to uninstall legacy build"]},
    },
]

# Checks of the suite's own machinery, which need only the stand-ins.
HARNESS_SCENARIOS = [
    {
        "name": "legacy_standin_uninstalls_itself",
        "about": "Morvex.Setup.exe /silent /uninstall removes the legacy service and folder.",
        "given": [("legacy",)],
        "run_legacy": ["/silent", "/uninstall"],
        "expect": {"exit": 0, "legacy_present": False},
    },
    {
        "name": "legacy_standin_fails_on_demand",
        "about": "With exit=7 in its control file the legacy uninstaller changes nothing and ends with 7.",
        "given": [("legacy",), ("control", "Morvex.Setup.exe", ["exit=7"])],
        "run_legacy": ["/silent", "/uninstall"],
        "expect": {"exit": 7, "legacy_present": True},
    },
]
