#include "engine/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() = default;

void TComponent::Free(TComponent* C) {
  if (!C || C->FDestroying) return;
  C->FDestroying = true;
  C->NotifyRemoval();
  C->BeforeDestruction();
  // Owned components go last-created first.
  while (!C->FComponents.empty()) Free(C->FComponents.back());
  if (C->FOwner) C->FOwner->RemoveComponent(C);
  delete C;
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  for (TComponent* C : FComponents)
    if (C->FName == AName) return C;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  auto& Other = AComponent->FFreeNotifies;
  if (std::find(Other.begin(), Other.end(), this) == Other.end()) Other.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  std::erase(FFreeNotifies, AComponent);
  std::erase(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* C) {
  FComponents.push_back(C);
  C->FOwner = this;
  for (TComponent* Sibling : FComponents)
    if (Sibling != C) Sibling->Notification(C, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* C) {
  std::erase(FComponents, C);
  C->FOwner = nullptr;
}

void TComponent::NotifyRemoval() {
  // Everyone that asked, then everyone that shares this component's owner.
  std::vector<TComponent*> Told;
  const std::vector<TComponent*> Asked = FFreeNotifies;
  for (TComponent* C : Asked) {
    std::erase(C->FFreeNotifies, this);
    C->Notification(this, TOperation::opRemove);
    Told.push_back(C);
  }
  FFreeNotifies.clear();
  if (FOwner) {
    const std::vector<TComponent*> Siblings = FOwner->FComponents;
    for (TComponent* S : Siblings)
      if (S != this && std::find(Told.begin(), Told.end(), S) == Told.end())
        S->Notification(this, TOperation::opRemove);
    FOwner->Notification(this, TOperation::opRemove);
  }
}
