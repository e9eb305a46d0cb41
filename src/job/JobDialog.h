#pragma once
// The job set-up dialog as the board sees it: shown modally, true when closed with OK.
// Its views are the Qt dialog (job/gui/TselectFilesDlg) and the headless runner's.
class JobDialog {
 public:
  virtual ~JobDialog() = default;
  virtual bool ShowModal() = 0;
};
