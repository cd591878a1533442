' The control through the script host: created by its ProgID, properties
' and methods by name. Exits with the number of failed checks, after the
' line "smoke: N failure(s)"; a script that stops early prints no such line.
' (Cyrillic texts are checked by the C++ host: this script host has no ChrW.)
Option Explicit
Dim failures, control
failures = 0

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

On Error Resume Next
Set control = CreateObject("ActiveX_ORVA.ActivexORVA")
If Err.Number <> 0 Then
    WScript.Echo "FAIL: CreateObject: " & Err.Description
    WScript.Quit 100
End If
On Error GoTo 0

Check control.MinFixVes = 50, "MinFixVes default"
Check control.DecPoint = 1, "DecPoint default"
Check control.ComSetting = "9600,n,8,1", "ComSetting default"
Check control.ComNumber = "1", "ComNumber default"
Check control.VesTerminal = "XXXX", "VesTerminal default"
Check control.TipTerminal = "No Connect", "TipTerminal default"
Check control.StatusTerminal = "X", "StatusTerminal default"
Check control.UnitWeight = "kg", "UnitWeight default"

control.MinFixVes = 120
Check control.MinFixVes = 120, "MinFixVes write"
control.DecPoint = -2
Check control.DecPoint = -2, "DecPoint write (negative kept)"
control.ComNumber = " 3"
Check control.ComNumber = " 3", "ComNumber write"
control.UnitWeight = "lb"
Check control.UnitWeight = "lb", "UnitWeight write"

control.Com_ORVA_Signal
Check control.TipTerminal = "unknown", "Com_ORVA_Signal without a reply"
Check control.VesTerminal = " 0", "VesTerminal after an unrecognised reply"
control.Default_Flag
control.Status_Terminale
Check control.StatusTerminal = "A", "Status_Terminale letter"
control.Stability
control.Init_VC

On Error Resume Next
control.MinFixVes = 100000
Check Err.Number <> 0, "overflowing MinFixVes refused"
Err.Clear
On Error GoTo 0

Set control = Nothing
WScript.Echo "smoke: " & failures & " failure(s)"
WScript.Quit failures
