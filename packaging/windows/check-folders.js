// A custom action of the Windows Installer package (TavinMonitorAgent.wxs):
// fails the installation when the working folder or its logs\ is a junction
// or a symbolic link. The package gives the group Users the right to modify
// logs\; through a link made by an ordinary user before the installation,
// that right, and the folders the package makes, would land wherever the
// link points. Runs first before anything is changed, then again deferred,
// as SYSTEM, after the working folder's own access list has been set, so
// that no ordinary user can change either folder between this check and the
// grant on logs\. The working folder, ending with "\", is WORKFOLDER, or the
// deferred action's CustomActionData.
function refuseLinkedFolders() {
  var folder = (Session.Property("CustomActionData") || Session.Property("WORKFOLDER"))
      .replace(/\\+$/, "");
  var shell = new ActiveXObject("WScript.Shell");
  var paths = [folder, folder + "\\logs"];
  for (var i = 0; i < paths.length; ++i) {
    // cmd shows a reparse point, a junction or a symbolic link, as "l" in
    // the attributes ("[d-------l]"); a missing path has none ("[]").
    // Without a trailing "\" the link itself is asked, not what it points to.
    var command = 'cmd.exe /d /c for %I in ("' + paths[i] + '") do @echo [%~aI]| find "l" >nul';
    if (shell.Run(command, 0, true) === 0) {
      var record = Session.Installer.CreateRecord(0);
      record.StringData(0) = "TavinMonitorAgent cannot be installed: " + paths[i] +
          " is a junction or a symbolic link. Remove it (rmdir), or name another working " +
          "folder with WORKFOLDER=, and install again.";
      Session.Message(0x01000000, record);  // an error: shown, and logged
      return 3;                             // the installation fails and is rolled back
    }
  }
  return 1;
}
