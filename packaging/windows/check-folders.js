// Custom actions of the Windows Installer package (TavinMonitorAgent.wxs)
// for the working folder, its logs\ and the programs' log folders in it, and
// for the firewall rules.
//
// refuseLinkedFolders fails the installation when the working folder or its
// logs\ is a junction or a symbolic link: through a link made by an
// ordinary user before the installation, the access lists the package sets,
// and the folders it makes, would land wherever the link points. It runs
// before anything is changed; setFolderAccess checks each folder again, as
// SYSTEM, once the folders above it have their lists, just before it sets
// that folder's. The check reads the attributes through cmd and find (by
// their full paths, nothing from the search path); anything it cannot tell
// refuses the folder. The working folder, ending with "\", is WORKFOLDER.
//
// setFolderAccess (deferred, as SYSTEM) gives each folder an owner,
// Administrators, and a whole access list of its own, not inherited: no
// entry of whoever made the folder before the installation stays. icacls
// can replace a list whole only from a file of its own making, so the list
// is first set on a new empty folder of the same name in a folder of
// SYSTEM's, saved from there (icacls /save) and restored onto the real one
// (icacls /restore, on the folder itself, never through a link: /L). Its
// CustomActionData is the working folder, then, after "|", the extra grants
// of the working folder, logs\ and the programs' log folders (properties
// WORKFOLDER_GRANTS, LOGS_GRANTS, PROGRAM_LOGS_GRANTS: icacls grants such as
// *S-1-5-19:(OI)(CI)M, separated by blanks), each after a "|", and last,
// after a "|", the SID of the service's account in service mode (empty in
// tray mode). That account gets what the service needs and no more: it reads
// the working folder and the programs' log folders, makes files in the
// working folder (the read position, TavinMonitorAgent.state, written as a
// new file and renamed over the old one; each file it makes is its own) and
// changes what is in logs\ (its history).

var kSystem = "*S-1-5-18:(OI)(CI)F";
var kAdministrators = "*S-1-5-32-544:(OI)(CI)F";
var kUsersRead = "*S-1-5-32-545:(OI)(CI)RX";
// Users may make files in the folder itself (not folders), and the maker of
// a file may change and delete it; nobody else but SYSTEM and
// Administrators may.
var kUsersMakeFiles = "*S-1-5-32-545:(WD)";
var kCreatorOwner = "*S-1-3-0:(OI)(IO)M";
// Users may append to the day's history file of another user's agent
// (files directly in logs\ only): no more than that.
var kUsersAppendHere = "*S-1-5-32-545:(OI)(NP)(IO)(AD)";
var kGrant = /^\*S-1-[0-9]+(-[0-9]+)+:(\((OI|CI|IO|NP)\))*(F|M|RX|R|W|\([A-Z]+(,[A-Z]+)*\))$/;

function fail(text) {
  var record = Session.Installer.CreateRecord(0);
  record.StringData(0) = "TavinMonitorAgent cannot be installed: " + text;
  Session.Message(0x01000000, record);  // an error: shown, and logged
  return 3;                             // the installation fails and is rolled back
}

function withoutTrailingSeparator(path) { return path.replace(/\\+$/, ""); }

// The folders the package gives lists of their own, with their grants, and
// the service account's (service, a SID; none in tray mode).
function folders(work, service) {
  var logs = work + "\\logs";
  var read = service === "" ? [] : ["*" + service + ":(OI)(CI)RX"];
  // In the working folder the service makes files, each its own to replace;
  // in tray mode nobody but SYSTEM and Administrators makes any there.
  var makeFiles = service === "" ? [] : read.concat(["*" + service + ":(WD)", kCreatorOwner]);
  var change = service === "" ? [] : ["*" + service + ":(OI)(CI)M"];
  return [
    {path: work, extra: 1, grants: [kSystem, kAdministrators, kUsersRead].concat(makeFiles)},
    {path: logs, extra: 2, grants: [kSystem, kAdministrators, kUsersRead, kUsersMakeFiles, kUsersAppendHere,
                          kCreatorOwner].concat(change)},
    {path: logs + "\\monitor", extra: 0, grants: [kSystem, kAdministrators, kUsersRead].concat(read)},
    {path: logs + "\\monitor\\ASHR_cmd_res.txt", extra: 3,
     grants: [kSystem, kAdministrators, kUsersRead, kUsersMakeFiles, kCreatorOwner].concat(read)},
    {path: logs + "\\monitor\\BSHR_cmd_res.txt", extra: 3,
     grants: [kSystem, kAdministrators, kUsersRead, kUsersMakeFiles, kCreatorOwner].concat(read)}
  ];
}

// Whether cmd shows the letter among the attributes of path: 0 yes, 1 no,
// anything else a failure. cmd's %~a shows the attributes of a link itself,
// not of what it leads to: a reparse point (a junction, a symbolic link) as
// "l" ("[d-------l]"), every attribute not set as "-", a missing path as
// "[]". cmd and find are run by their full paths, never from the search
// path.
function attributeShown(shell, path, letter) {
  var system = environment(shell, "SystemRoot") + "\\System32\\";
  return shell.Run('"' + system + 'cmd.exe" /d /c for %I in ("' + path + '") do @echo [%~aI]| "' +
                   system + 'find.exe" "' + letter + '" >nul', 0, true);
}

// The reason why path must not be used: it is a link, or it cannot be
// checked; empty when it is a folder or a file that is not a link, or
// missing (the installation makes it).
function linkProblem(path) {
  var cannot = path + " cannot be checked";
  var again = ". Name another working folder with WORKFOLDER=, or install again.";
  try {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var shell = new ActiveXObject("WScript.Shell");
    var exists = fso.FolderExists(path) || fso.FileExists(path);
    var link = attributeShown(shell, path, "l");
    // An existing path shows some attribute not set; a missing one none.
    // Anything else means the attributes were not read.
    var unset = attributeShown(shell, path, "-");
    if (link === 0) {
      return path + " is a junction or a symbolic link. Remove it (rmdir), or name another " +
          "working folder with WORKFOLDER=, and install again.";
    }
    if (link !== 1 || unset !== (exists ? 0 : 1)) {
      return cannot + " (cmd and find ended with status " + link + " and " + unset + ")" + again;
    }
  } catch (e) {
    return cannot + " (" + e.message + ")" + again;
  }
  return "";
}

function refuseLinkedFolders() {
  var folder = withoutTrailingSeparator(Session.Property("WORKFOLDER"));
  var paths = [folder, folder + "\\logs"];
  for (var i = 0; i < paths.length; ++i) {
    var problem = linkProblem(paths[i]);
    if (problem !== "") return fail(problem);
  }
  return 1;
}

// Runs a program of System32 by its full path, hidden, and waits; its exit
// status.
function runSystemTool(shell, tool, args) {
  var path = environment(shell, "SystemRoot") + "\\System32\\" + tool;
  return shell.Run('"' + path + '" ' + args, 0, true);
}

function quoted(path) { return '"' + path + '"'; }

// An environment variable's value; without the terminating NUL that some
// systems (Wine) leave in the text, which would cut a command line short.
function environment(shell, name) {
  return shell.ExpandEnvironmentStrings("%" + name + "%").replace(/\u0000/g, "");
}

function setFolderAccess() {
  var data = Session.Property("CustomActionData").split("|");
  var work = withoutTrailingSeparator(data[0]);
  var service = data[4] || "";
  if (service !== "" && !/^S-1-5-80(-[0-9]+){5}$/.test(service)) {
    return fail("the service account's SID " + service + " is not a service's.");
  }
  var targets = folders(work, service);
  for (var t = 0; t < targets.length; ++t) {
    var extra = targets[t].extra > 0 ? (data[targets[t].extra] || "").split(/\s+/) : [];
    for (var g = 0; g < extra.length; ++g) {
      if (extra[g] === "") continue;
      if (!kGrant.test(extra[g])) return fail("the extra grant " + extra[g] + " is not one icacls takes.");
      targets[t].grants.push(extra[g]);
    }
  }
  var shell = new ActiveXObject("WScript.Shell");
  var fso = new ActiveXObject("Scripting.FileSystemObject");
  var scratch = fso.GetSpecialFolder(2).Path + "\\TavinMonitorAgent-access-" +
      Math.floor(Math.random() * 1e9);
  try {
    fso.CreateFolder(scratch);
    for (var i = 0; i < targets.length; ++i) {
      var target = targets[i].path;
      var cut = target.lastIndexOf("\\");
      var parent = target.substring(0, cut);
      var name = target.substring(cut + 1);
      if (parent === "" || /:$/.test(target)) return fail(target + " cannot be a working folder.");
      // Checked again here, as SYSTEM: the folders above it already have
      // their own lists, so no ordinary user can change it any more.
      var problem = linkProblem(target);
      if (problem !== "") return fail(problem);
      var template = scratch + "\\" + i;
      var list = template + ".acl";
      fso.CreateFolder(template);
      fso.CreateFolder(template + "\\" + name);
      var steps = [
        quoted(target) + " /setowner *S-1-5-32-544 /L /Q",
        quoted(template + "\\" + name) + " /inheritance:r /grant " + targets[i].grants.join(" ") + " /Q",
        quoted(template + "\\" + name) + " /save " + quoted(list) + " /Q",
        quoted(parent) + " /restore " + quoted(list) + " /L /Q"
      ];
      for (var s = 0; s < steps.length; ++s) {
        var status = runSystemTool(shell, "icacls.exe", steps[s]);
        if (status !== 0) {
          return fail("icacls " + steps[s] + " failed with status " + status + ".");
        }
      }
    }
  } catch (e) {
    return fail("the access lists of " + work + " cannot be set (" + e.message + ").");
  } finally {
    try { fso.DeleteFolder(scratch, true); } catch (ignored) {}
  }
  return 1;
}

// Sets FIREWALL_PORTS, the ports of the agent's own rule: every port but
// METRICS_PORT (10013 unless given or remembered), whose rule admits the
// METRICS_ALLOWED addresses alone.
function firewallPorts() {
  if (Session.Property("METRICS_PORT") === "") Session.Property("METRICS_PORT") = "10013";
  var text = Session.Property("METRICS_PORT");
  var port = /^[0-9]{1,5}$/.test(text) ? parseInt(text, 10) : 0;
  if (port < 1 || port > 65535) return fail("METRICS_PORT=" + text + " is not a port.");
  var allowed = Session.Property("METRICS_ALLOWED");
  var address = /^(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])(\.(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])){3}$/;
  var addresses = allowed === "" ? [] : allowed.split(",");
  for (var i = 0; i < addresses.length; ++i) {
    if (!address.test(addresses[i])) {
      return fail("METRICS_ALLOWED=" + allowed + " is not a list of IPv4 addresses separated by " +
                  "commas.");
    }
  }
  var ranges = [];
  if (port > 1) ranges.push(port > 2 ? "1-" + (port - 1) : "1");
  if (port < 65535) ranges.push(port < 65534 ? (port + 1) + "-65535" : "65535");
  Session.Property("FIREWALL_PORTS") = ranges.join(",");
  return 1;
}
