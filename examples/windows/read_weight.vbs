' Reads the weight from the terminal on COM1 with the installed control.
'   cscript //nologo read_weight.vbs [SECONDS]
' The control polls on its own timers, so the script waits in WScript.Sleep,
' which lets the control's timer messages through. Its events arrive through
' WScript.ConnectObject as Scale_<event>; every reading is also printed from
' the properties when it changes. A script host that cannot wait (Wine's has
' no WScript.Sleep nor WScript.ConnectObject) gets the control's state once.
Option Explicit
Dim seconds, scale, connected, last, deadline
seconds = 10
If WScript.Arguments.Count > 0 Then seconds = CInt(WScript.Arguments(0))

Set scale = CreateObject("ActiveX_ORVA.ActivexORVA")
scale.ComNumber = "1"
scale.ComSetting = "9600,n,8,1"

On Error Resume Next
WScript.ConnectObject scale, "Scale_"
connected = (Err.Number = 0)
Err.Clear
On Error GoTo 0
If connected Then WScript.Echo "events: connected" Else WScript.Echo "events: not offered by this script host"

Sub Scale_ChangeVes(weight)
    WScript.Echo "ChangeVes " & weight
End Sub
Sub Scale_StabVes(weight)
    WScript.Echo "StabVes " & weight
End Sub
Sub Scale_VesStatus(zero, ok, tare, overload)
    WScript.Echo "VesStatus " & zero & " " & ok & " " & tare & " " & overload
End Sub

Function Wait(milliseconds)
    On Error Resume Next
    WScript.Sleep milliseconds
    Wait = (Err.Number = 0)
    Err.Clear
End Function

WScript.Echo "created " & TypeName(scale) & ": weight " & scale.VesTerminal & " (" & scale.TipTerminal & _
             ", status " & scale.StatusTerminal & ")"
last = ""
deadline = Timer + seconds
Do While Timer < deadline
    If Not Wait(100) Then
        WScript.Echo "this script host cannot wait: no reading"
        Exit Do
    End If
    If scale.VesTerminal & "|" & scale.StatusTerminal <> last Then
        last = scale.VesTerminal & "|" & scale.StatusTerminal
        WScript.Echo "weight " & Trim(scale.VesTerminal) & " " & scale.UnitWeight & _
                     " (" & scale.TipTerminal & ", status " & scale.StatusTerminal & ")"
    End If
Loop
Set scale = Nothing
