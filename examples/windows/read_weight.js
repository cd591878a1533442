// Reads the weight from the terminal on COM1 with the installed control.
//   cscript //nologo read_weight.js [SECONDS]
// As in read_weight.vbs: events through WScript.ConnectObject where the
// script host offers it, every reading through the properties, and the
// state once where the host cannot wait.
var seconds = WScript.Arguments.length > 0 ? parseInt(WScript.Arguments(0), 10) : 10;
var scale = new ActiveXObject("ActiveX_ORVA.ActivexORVA");
scale.ComNumber = "1";
scale.ComSetting = "9600,n,8,1";

function Scale_ChangeVes(weight) { WScript.Echo("ChangeVes " + weight); }
function Scale_StabVes(weight) { WScript.Echo("StabVes " + weight); }
function Scale_VesStatus(zero, ok, tare, overload) {
    WScript.Echo("VesStatus " + [zero, ok, tare, overload].join(" "));
}
try {
    WScript.ConnectObject(scale, "Scale_");
    WScript.Echo("events: connected");
} catch (e) {
    WScript.Echo("events: not offered by this script host");
}

WScript.Echo("created ActiveX_ORVA.ActivexORVA: weight " + scale.VesTerminal + " (" + scale.TipTerminal +
             ", status " + scale.StatusTerminal + ")");
var last = "";
var deadline = new Date().getTime() + seconds * 1000;
while (new Date().getTime() < deadline) {
    try {
        WScript.Sleep(100);
    } catch (e) {
        WScript.Echo("this script host cannot wait: no reading");
        break;
    }
    var now = scale.VesTerminal + "|" + scale.StatusTerminal;
    if (now !== last) {
        last = now;
        WScript.Echo("weight " + scale.VesTerminal.replace(/^\s+/, "") + " " + scale.UnitWeight +
                     " (" + scale.TipTerminal + ", status " + scale.StatusTerminal + ")");
    }
}
scale = null;
