' Puts a downloaded launcher release in place once the running launcher has ended, then starts it.
' The launcher runs it from its own folder, where this script lives:
'     wscript.exe "<launcher folder>\update.vbs" <new file name>
' The new file (e.g. v0.12_Kestrivane.exe) is a bare name in the launcher folder. Any failure leaves
' the old launcher in place and starts nothing. Lines go to update.log beside the script.
Option Explicit

Const WaitSeconds = 30
Const ForAppending = 8

Dim fso, shell, dir, target, newName, newPath, tmpPath, oldPath, logPath, startTime

Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
dir = fso.GetParentFolderName(WScript.ScriptFullName)
target = fso.BuildPath(dir, "Kestrivane.exe")
tmpPath = target & ".new"
oldPath = target & ".old"
logPath = fso.BuildPath(dir, "update.log")

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

If WScript.Arguments.Count < 1 Then Fail "no file named; keeping the old launcher", 2
newName = WScript.Arguments(0)
If newName = "" Or newName = "." Or newName = ".." Or InStr(newName, "\") > 0 Or InStr(newName, "/") > 0 _
   Or InStr(newName, ":") > 0 Then
    Fail "refused file name '" & newName & "': expected a bare file name in " & dir, 2
End If
If LCase(newName) = "kestrivane.exe" Then Fail "refused file name '" & newName & "': it is the launcher itself", 2
newPath = fso.BuildPath(dir, newName)
If Not fso.FileExists(newPath) Then Fail "new launcher " & newPath & " is missing; keeping the old one", 1
If fso.GetFile(newPath).Size = 0 Then Fail "new launcher " & newPath & " is empty; keeping the old one", 1

startTime = Timer
Do While LauncherRunning()
    If SecondsSince(startTime) >= WaitSeconds Then Fail "the launcher still runs after " & WaitSeconds & " s; keeping the old one", 1
    Pause 250
Loop

On Error Resume Next
' Copy beside the target first; the old launcher moves aside only once the copy is complete.
If fso.FileExists(tmpPath) Then fso.DeleteFile tmpPath, True
Err.Clear
fso.CopyFile newPath, tmpPath, True
If Err.Number <> 0 Then
    Err.Clear
    fso.DeleteFile tmpPath, True
    Fail "cannot copy " & newPath & "; keeping the old one", 1
End If
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
If fso.FileExists(oldPath) Then fso.DeleteFile oldPath, True
Err.Clear
LogLine "replaced " & target & " with " & newName

shell.CurrentDirectory = dir
shell.Run """" & target & """", 1, False
If Err.Number <> 0 Then Fail "cannot start " & target & ": " & Err.Description, 1
LogLine "started " & target
WScript.Quit 0
