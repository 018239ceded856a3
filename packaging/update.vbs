' Puts a downloaded launcher release in place once the running launcher has ended, then starts it.
' The launcher runs it from its own folder, where this script lives:
'     wscript.exe "<launcher folder>\update.vbs" <new file name>
' The new file (e.g. v0.12_Kestrivane.exe) is a bare name in the launcher folder. Any failure leaves
' the old launcher in place and starts nothing. The old launcher is kept as
' "Kestrivane.previous.exe". The new one is started with the mark "update.pending" beside it, which
' it turns into "update.confirmed" once it is up; when it ends without doing so, or has not done so
' within 90 s (the environment's KV_UPDATE_CONFIRM_S), the new launcher is ended, the previous one
' put back and started, and "update.failed" names the version that failed (the launcher does not
' take it again).
' Lines go to update.log beside the script.
Option Explicit

Const WaitSeconds = 30
Const DefaultConfirmSeconds = 90
Const ForAppending = 8
Const ForWriting = 2

Dim fso, shell, dir, target, newName, newPath, tmpPath, oldPath, logPath, startTime
Dim pendingPath, confirmedPath, failedPath, version, confirmSeconds, watch, why, launched

Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
dir = fso.GetParentFolderName(WScript.ScriptFullName)
target = fso.BuildPath(dir, "Kestrivane.exe")
tmpPath = target & ".new"
oldPath = fso.BuildPath(dir, "Kestrivane.previous.exe")
logPath = fso.BuildPath(dir, "update.log")
pendingPath = fso.BuildPath(dir, "update.pending")
confirmedPath = fso.BuildPath(dir, "update.confirmed")
failedPath = fso.BuildPath(dir, "update.failed")

Sub LogLine(text)
    On Error Resume Next
    Dim f
    Set f = fso.OpenTextFile(logPath, ForAppending, True)
    f.WriteLine Now & " update.vbs: " & text
    f.Close
End Sub

Sub Fail(text, code)
    LogLine text
    WScript.Quit code
End Sub

' Seconds on the clock since t (Timer restarts at midnight).
Function SecondsSince(t)
    Dim d
    d = Timer - t
    If d < 0 Then d = d + 86400
    SecondsSince = d
End Function

' Waits about ms milliseconds. Some script hosts lack WScript.Sleep: then a hidden loopback ping
' (about a second) waits, and as a last resort the clock is watched.
Sub Pause(ms)
    Dim t
    On Error Resume Next
    WScript.Sleep ms
    If Err.Number = 0 Then Exit Sub
    Err.Clear
    t = Timer
    shell.Run "ping.exe -n 2 -w 500 127.0.0.1", 0, True
    If Err.Number = 0 And SecondsSince(t) >= ms / 1000 Then Exit Sub
    Err.Clear
    Do While SecondsSince(t) < ms / 1000
    Loop
End Sub

' Writes text and a line end to path, replacing it; False on failure.
Function WriteNote(path, text)
    Dim f
    On Error Resume Next
    Set f = fso.OpenTextFile(path, ForWriting, True)
    If Err.Number = 0 Then f.WriteLine text
    If Err.Number = 0 Then f.Close
    WriteNote = (Err.Number = 0)
    Err.Clear
End Function

' Copies src beside the launcher as its temporary copy (an earlier one replaced); ends the script with
' `failure` when that cannot be done.
Sub CopyBeside(src, failure)
    On Error Resume Next
    If fso.FileExists(tmpPath) Then fso.DeleteFile tmpPath, True
    Err.Clear
    fso.CopyFile src, tmpPath, True
    If Err.Number <> 0 Then
        Err.Clear
        fso.DeleteFile tmpPath, True
        Fail failure, 1
    End If
End Sub

' Ends every process that runs this folder's launcher; True when none is left after a few seconds.
Function EndLauncher()
    Dim wmi, procs, p, t
    On Error Resume Next
    Set wmi = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\cimv2")
    If Err.Number = 0 Then
        Set procs = wmi.ExecQuery("SELECT * FROM Win32_Process WHERE ExecutablePath = '" & _
                                  Replace(Replace(target, "\", "\\"), "'", "\'") & "'")
        For Each p In procs
            p.Terminate
        Next
    End If
    Err.Clear
    t = Timer
    Do While LauncherRunning()
        If SecondsSince(t) >= 10 Then
            EndLauncher = False
            Exit Function
        End If
        Pause 250
    Loop
    EndLauncher = True
End Function

' True while a process runs this folder's launcher.
Function LauncherRunning()
    Dim wmi, procs, query, f
    On Error Resume Next
    Set wmi = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\cimv2")
    If Err.Number = 0 Then
        query = "SELECT ProcessId FROM Win32_Process WHERE ExecutablePath = '" & _
                Replace(Replace(target, "\", "\\"), "'", "\'") & "'"
        Set procs = wmi.ExecQuery(query)
        If Err.Number = 0 Then
            LauncherRunning = (procs.Count > 0)
            If Err.Number = 0 Then Exit Function
        End If
    End If
    ' Without WMI: a running executable cannot be opened for writing.
    Err.Clear
    If Not fso.FileExists(target) Then
        LauncherRunning = False
        Exit Function
    End If
    Set f = fso.OpenTextFile(target, ForAppending, False)
    If Err.Number <> 0 Then
        LauncherRunning = True
    Else
        f.Close
        LauncherRunning = False
    End If
End Function

' The new launcher took the mark: it turned it into update.confirmed, which a further update that it
' started may have removed again.
Function CameUp()
    CameUp = fso.FileExists(confirmedPath) Or Not fso.FileExists(pendingPath)
End Function

If WScript.Arguments.Count < 1 Then Fail "no file named; keeping the old launcher", 2
newName = WScript.Arguments(0)
If newName = "" Or newName = "." Or newName = ".." Or InStr(newName, "\") > 0 Or InStr(newName, "/") > 0 _
   Or InStr(newName, ":") > 0 Then
    Fail "refused file name '" & newName & "': expected a bare file name in " & dir, 2
End If
If LCase(newName) = "kestrivane.exe" Then Fail "refused file name '" & newName & "': it is the launcher itself", 2
Select Case LCase(newName)
    Case "kestrivane.previous.exe", "update.pending", "update.confirmed", "update.failed"
        Fail "refused file name '" & newName & "': it is one of the update's own files", 2
End Select
' "v0.12_Kestrivane.exe" is version 0.12.
version = newName
If Left(version, 1) = "v" Then version = Mid(version, 2)
If InStr(version, "_") > 0 Then version = Left(version, InStr(version, "_") - 1)
confirmSeconds = DefaultConfirmSeconds
On Error Resume Next
If IsNumeric(shell.Environment("PROCESS")("KV_UPDATE_CONFIRM_S")) Then
    confirmSeconds = CLng(shell.Environment("PROCESS")("KV_UPDATE_CONFIRM_S"))
End If
Err.Clear
On Error GoTo 0
newPath = fso.BuildPath(dir, newName)
If Not fso.FileExists(newPath) Then Fail "new launcher " & newPath & " is missing; keeping the old one", 1
If fso.GetFile(newPath).Size = 0 Then Fail "new launcher " & newPath & " is empty; keeping the old one", 1

startTime = Timer
Do While LauncherRunning()
    If SecondsSince(startTime) >= WaitSeconds Then Fail "the launcher still runs after " & WaitSeconds & " s; keeping the old one", 1
    Pause 250
Loop

On Error Resume Next
' Copy beside the target first; the old launcher moves aside (and stays there, to come back if the
' new one does not come up) only once the copy is complete.
If fso.FileExists(pendingPath) Then fso.DeleteFile pendingPath, True
If fso.FileExists(confirmedPath) Then fso.DeleteFile confirmedPath, True
CopyBeside newPath, "cannot copy " & newPath & "; keeping the old one"
If fso.FileExists(oldPath) Then fso.DeleteFile oldPath, True
Err.Clear
If fso.FileExists(target) Then fso.MoveFile target, oldPath
If Err.Number <> 0 Then
    Err.Clear
    fso.DeleteFile tmpPath, True
    Fail "cannot move the old launcher aside; keeping it", 1
End If
fso.MoveFile tmpPath, target
If Err.Number <> 0 Then
    Err.Clear
    If fso.FileExists(oldPath) Then fso.MoveFile oldPath, target
    fso.DeleteFile tmpPath, True
    Fail "cannot put " & newName & " in place; the old launcher is back", 1
End If
Err.Clear
LogLine "replaced " & target & " with " & newName

watch = fso.FileExists(oldPath)
If watch Then watch = WriteNote(pendingPath, version)
If Not watch Then LogLine "cannot wait for the new launcher to come up: it is kept whatever happens"

shell.CurrentDirectory = dir
' Through Exec: its Status tells when this launcher has ended.
Set launched = shell.Exec("""" & target & """")
If Err.Number <> 0 Then Fail "cannot start " & target & ": " & Err.Description, 1
LogLine "started " & target
If Not watch Then WScript.Quit 0

startTime = Timer
why = "within " & confirmSeconds & " s"
Do While Not CameUp()
    ' A launcher that has ended can no longer come up.
    If launched.Status <> 0 Then
        why = "before it ended"
        Exit Do
    End If
    If SecondsSince(startTime) >= confirmSeconds Then Exit Do
    Pause 200
Loop
' Also a mark taken just before the launcher ended.
If CameUp() Then
    If fso.FileExists(confirmedPath) Then fso.DeleteFile confirmedPath, True
    LogLine "the new launcher " & version & " came up"
    WScript.Quit 0
End If

' No sign of the new launcher: whatever runs of it is ended, and the previous one comes back.
If fso.FileExists(pendingPath) Then fso.DeleteFile pendingPath, True
Err.Clear
LogLine "the new launcher " & version & " did not come up " & why & "; putting the previous one back"
If launched.Status = 0 Then launched.Terminate
Err.Clear
If Not EndLauncher() Then Fail "the new launcher does not end; it stays in place", 1
CopyBeside oldPath, "cannot copy the previous launcher from " & oldPath
fso.DeleteFile target, True
Err.Clear
fso.MoveFile tmpPath, target
If Err.Number <> 0 Then
    Err.Clear
    fso.DeleteFile tmpPath, True
    If Not fso.FileExists(target) Then fso.MoveFile oldPath, target
    Fail "cannot put the previous launcher back from " & oldPath, 1
End If
If Not WriteNote(failedPath, version) Then LogLine "cannot write " & failedPath
LogLine "put the previous launcher back"
shell.Run """" & target & """", 1, False
If Err.Number <> 0 Then Fail "cannot start " & target & ": " & Err.Description, 1
LogLine "started the previous launcher"
WScript.Quit 1
